#pragma once

#include <string>

// Writes the sample S-record files into dir: one per product signature with a
// few data records and an end record, and one whose data are damaged.
// Returns false and says why in error when a file cannot be written.
bool writeSampleFiles(const std::string& dir, std::string& error);
