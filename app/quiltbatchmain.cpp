// The queue window: start-up, command line, queue, timer step, status, actions, help,
// closing and window geometry.
#include "app/quiltbatchmain.h"

#include "panotools/panocorrect.h"

namespace qb::app {

TMainForm::TMainForm(TMainFormSetup setup)
    : dialogs_(std::move(setup.dialogs)),
      commandLine_(std::move(setup.commandLine)),
      storeFile_(std::move(setup.storeFile)),
      programDir_(std::move(setup.programDir)) {
    PanoCorrect1_ = std::make_unique<qb::TPanoCorrect>();
}

TMainForm::~TMainForm() = default;

}  // namespace qb::app
