# A firmware file of blocks 0 to 3, 6 KiB each in records of 32 bytes: four
# times the frames of the two-block sample.
function record(type, address, n,   line, sum, i) {
  line = sprintf(":%02X%04X%02X", n, address, type)
  sum = n + int(address / 256) + address % 256 + type
  for (i = 0; i < n; i++) { line = line sprintf("%02X", data[i]); sum += data[i] }
  printf "%s%02X\r\n", line, (256 - sum % 256) % 256
}
BEGIN {
  state = 12345
  for (block = 0; block < 4; block++) {
    data[0] = 0; data[1] = block
    record(4, 0, 2)
    for (address = 0; address < 6144; address += 32) {
      for (i = 0; i < 32; i++) {
        state = (state * 1664525 + 1013904223) % 4294967296
        data[i] = int(state / 16777216)
      }
      record(0, address, 32)
    }
  }
  record(1, 0, 0)
}
