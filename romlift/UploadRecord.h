#pragma once

#include <QString>

#include <optional>

#include <production/Production.h>

#include "UploadDialogue.h"

// The run record of an upload: started before "Upload", kept when the upload
// ends (UploadDialogue::EndReached) if it sent at least one line. Does
// nothing when nothing is configured.
class UploadRecord {
 public:
  UploadRecord(const ProductionConfig& config, Production::Message message);

  void begin(const UploadFile& file, int comPort, const QString& device);
  void end(const UploadDialogue& upload, UploadEnd ending, std::optional<int> exitStatus = std::nullopt);

  static QString endingText(UploadEnd ending);

 private:
  std::optional<Production> production_;
  RunRecord record_;
};
