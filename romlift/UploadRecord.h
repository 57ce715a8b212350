#pragma once

#include <QString>

#include <optional>

#include <production/Production.h>

#include "UploadDialogue.h"

// The run record of an upload: started before "Upload", kept when the upload
// has ended (before its end is shown) if it sent at least one line, or when
// the port could not be opened. Does nothing when nothing is configured.
class UploadRecord {
 public:
  UploadRecord(const ProductionConfig& config, Production::Message message);

  void begin(const UploadFile& file, int comPort, const QString& device);
  void end(const UploadResult& result, std::optional<int> exitStatus);
  // The record of a run whose port could not be opened: nothing was sent.
  void portNotOpened(const UploadFile& file, int comPort, const QString& device, const QString& status,
                     int exitStatus);

  static QString endingText(UploadEnd ending);

 private:
  std::optional<Production> production_;
  RunRecord record_;
};
