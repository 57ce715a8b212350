#include "SrecordCheck.h"

#include <text/LineReader.h>


const QString SrecordCheck::kNotValidVerdict =
    QStringLiteral("File not valid for any Amplifier or CD player");

const QString& SrecordCheck::upgradeSteps() {
  static const QString steps = QStringLiteral(
      "Upgrade steps\r\n"
      "1: Make sure that a serial cable is connected between PC and amplifier or CD.\r\n"
      "2: Select file to upload.\r\n"
      "3: Check Comm Adress. and COM port\r\n"
      "4: Click 'Open Comm port'.\r\n"
      "5: Start Amplifier or CD in boot mode.\r\n"
      "6: Upload new software.\r\n"
      "7: Wait for Amplifier or CD to Initialize.\r\n\r\n");
  return steps;
}

bool SrecordCheck::Load(const QString& chosenPath) {
  FileValid = false;
  ProductCode = 0;
  FileName = chosenPath;
  if (chosenPath.isEmpty()) return false;

  LineReader file(LineEnd::CrOrCrLf);
  if (!file.open(chosenPath)) return false;
  const std::optional<QByteArray> first = file.readLine();
  if (!first || file.failed()) return false;

  if (const Product* p = ProductTable::forSignature(*first)) {
    FileValid = true;
    ProductCode = p->code;
    BootInstructions = ProductTable::bootInstructions(*p);
    Verdict = QString::fromLatin1(p->verdictLine);
  } else {
    BootInstructions.clear();
    Verdict = kNotValidVerdict;
  }
  return true;
}
