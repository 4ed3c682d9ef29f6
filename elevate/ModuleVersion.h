#pragma once
// The file version of a Windows program from its bytes, for the elevated
// step, which holds the files it compares by handle and so cannot hand a
// path to the system's version functions.
#include <cstdint>
#include <string>

// Finds the version resource's fixed part (the key "VS_VERSION_INFO" in
// UTF-16, then the 0xFEEF04BD signature at the next 32-bit boundary) and
// sets *version to its file version, the most significant part first
// (1.0.9.5 is 0x0001000000090005). False when there is none. Never throws;
// reads only within bytes.
bool FixedFileVersion(const std::string& bytes, uint64_t* version);
