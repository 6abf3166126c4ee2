// Files and file names. The separator is '/'; a "trailing separator" is a trailing '/';
// names compare case-sensitively; short names are the names themselves.
#pragma once

#include <string>
#include <vector>

namespace qb::platform {

constexpr char PathDelim = '/';

bool FileExists(const std::string& name);       // an existing file that is not a directory
bool DirectoryExists(const std::string& name);  // an existing directory
bool DeleteFile(const std::string& name);       // false when it could not be removed

// True when another open file description holds an flock(2) lock on the file: a program
// still uses it (the stitcher front locks its working files for as long as it runs). A file
// that cannot be opened is not taken to be in use.
bool FileLockedByOthers(const std::string& name);

// The names (without directory) of the files in `dir` whose names match `pattern`
// ('*' and '?' wildcards); directories are never listed. Sorted by name.
std::vector<std::string> FindFiles(const std::string& dir, const std::string& pattern);

// The same for directories (not followed through symbolic links).
std::vector<std::string> FindDirectories(const std::string& dir, const std::string& pattern);

// Removes a directory with everything in it (symbolic links inside are removed, never
// followed); false when something could not be removed.
bool DeleteTree(const std::string& dir);

// An absolute name: a relative name is taken against the current directory; "." and ".."
// levels are resolved in the text (symbolic links are not followed).
std::string ExpandFileName(const std::string& name);

std::string ExtractFilePath(const std::string& name);  // directory with trailing '/'; "" when none
std::string ExtractFileDir(const std::string& name);   // directory without trailing '/'
std::string ExtractFileName(const std::string& name);  // after the last '/'
std::string ExtractFileExt(const std::string& name);   // ".ext" of the name part; "" when none
std::string ChangeFileExt(const std::string& name, const std::string& ext);
std::string IncludeTrailingPathDelimiter(const std::string& name);
std::string ExcludeTrailingPathDelimiter(const std::string& name);

// The name of `fileName` relative to the directory `baseDir`: the directories shared from
// the root on are dropped, each remaining level of baseDir becomes "../", then the rest of
// fileName follows. Both should be absolute.
std::string ExtractRelativePath(const std::string& baseDir, const std::string& fileName);

// The system temporary directory ($TMPDIR, else /tmp) with a trailing separator.
std::string GetTempDirectory();

// The short (8.3) form of a name: the name itself on this platform.
std::string ExtractShortPathName(const std::string& name);

// The full name of the first file called `name` on the PATH that may be run; "" when none.
std::string FindOnPath(const std::string& name);

// The full name of the running program.
std::string ApplicationExeName();

}  // namespace qb::platform
