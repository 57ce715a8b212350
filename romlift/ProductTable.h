#pragma once

#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>

// The six products that romlift uploads to. A file is for a product when its
// first line is, byte for byte, that product's S0 header line.
struct Product {
  std::uint8_t code;          // ProductCode, 1..6
  const char* signature;      // the whole first line, without its line end
  const char* displayName;    // shown in the verdict and stored in the report
  const char* keyPressLine;   // how to hold the buttons while powering on
  const char* releaseLine;    // how the product then enters boot mode
  const char* verdictLine;    // Text_Filevalid after a match
};

namespace ProductTable {

const std::array<Product, 6>& products();

// The product whose signature equals line exactly (case and blanks count),
// or nullptr.
const Product* forSignature(QByteArrayView line);

// The product with this code, or nullptr for 0 and anything above 6.
const Product* forCode(std::uint8_t code);

// "Bootmode:", the power-off line, the key-press line and the release line,
// joined by CR LF with none after the last.
QString bootInstructions(const Product& product);

}  // namespace ProductTable
