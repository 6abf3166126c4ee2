#include "components/MemBitmapIO/tzrmmf.h"
