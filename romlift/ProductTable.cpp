#include "ProductTable.h"

namespace {

constexpr const char* kBothVolume =
    "Press both volume buttons simultaneously and hold them while turning on the power.";
constexpr const char* kAnalogDigital =
    "Press analog and digital buttons simultaneously and hold them while turning on the power.";
constexpr const char* kMenuSkip =
    "Press menu and skip right buttons simultaneously and hold them while turning on the power.";

// The KVA5100+ line ends in FA, one above its record checksum; the uploader
// compares literal lines, so files made for that product carry it as it is.
const std::array<Product, 6> kProducts{{
    {1, "S00C0000504C58413438383000EA", "PLXA4880", kBothVolume,
     "Release both volumebuttons and PLXA4880 is in bootmode.", "File for PLXA4880 and file is ok"},
    {2, "S00B00005A454E5452413700E9", "Zentra Mk.VII", kAnalogDigital,
     "Release both buttons and Zentra is in bootmode.", "File for Zentra Mk.VII and file is ok"},
    {3, "S00B00004B564135313030004C", "KVA5100", kAnalogDigital,
     "Release both buttons and KVA5100 is in bootmode.", "File for KVA5100 and file is ok"},
    {4, "S008000044562D3900F7", "DV-9", kMenuSkip, "Release both buttons and DV-9 is in bootmode.",
     "File for DV-9 and file is ok"},
    {5, "S00C00004B5641353130305200FA", "KVA5100+", kAnalogDigital,
     "Release both buttons and KVA5100+ is in bootmode.", "File for KVA5100+ and file is ok"},
    {6, "S0090000445650524F006B", "DVpro", kAnalogDigital,
     "Release both buttons and DVpro is in bootmode.", "File for DVpro and file is ok"},
}};

}  // namespace

namespace ProductTable {

const std::array<Product, 6>& products() { return kProducts; }

const Product* forSignature(QByteArrayView line) {
  for (const Product& p : kProducts)
    if (line == QByteArrayView(p.signature)) return &p;
  return nullptr;
}

const Product* forCode(std::uint8_t code) {
  for (const Product& p : kProducts)
    if (p.code == code) return &p;
  return nullptr;
}

QString bootInstructions(const Product& product) {
  return QStringLiteral("Bootmode:\r\nTurn power off on the front button.\r\n") +
         QString::fromLatin1(product.keyPressLine) + QStringLiteral("\r\n") +
         QString::fromLatin1(product.releaseLine);
}

}  // namespace ProductTable
