#pragma once
// ApplicationExtras answers where the application keeps its files: its own folder in the user's
// data directory (Application Support), the staging file for the compiled hosts text, and the
// folder in which the application's first version kept its hostfiles. Paths follow the
// environment at each call (XDG_DATA_HOME, HOME, TMPDIR). Safe from any thread.
#include <string>

class ApplicationExtras {
 public:
  // The data directory plus the application's bundle identifier. Creates the folder (and any
  // missing parents) when nothing exists there; a failure to create it is ignored and the path
  // is returned all the same.
  static std::string applicationSupportDirectory();

  // applicationSupportDirectory() plus "hosts": the file the compiler writes before the privileged
  // copy. Creates the folder as applicationSupportDirectory does, not the file.
  static std::string tmpEtcHostsPath();

  // The data directory, or the temporary directory when there is none, plus "Quillmere/HostFiles":
  // where first-version hostfiles are imported from. Creates nothing.
  static std::string v1HostsPath();
};
