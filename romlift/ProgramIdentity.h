#pragma once

#include <QString>

// romlift's title and version as the build set them: the about box, --version
// and the run record show them.
struct ProgramIdentity {
  QString title;
  int major = 0;
  int minor = 0;
  int revision = 0;

  static ProgramIdentity romlift();
  // "Version 1.16": the revision appended without a separator (1.1.6).
  QString versionText() const;
  // "1.1.6", as the run record keeps it.
  QString dotted() const;
};
