// SPDX-License-Identifier: MIT
// SHA-256 (FIPS 180-4), for the digests that name a program's bytes in
// the result files.
#ifndef ZARVEK_SUPPORT_SHA256_H
#define ZARVEK_SUPPORT_SHA256_H

#include <cstddef>
#include <cstdint>
#include <string>

// The digest of bytes given in pieces of any size.
struct Sha256 {
    uint32_t state[8];
    unsigned char block[64]; // the bytes of the block not yet compressed
    size_t used = 0;         // how many of them there are
    uint64_t length = 0;     // bytes given so far

    Sha256();
    void update(const void *data, size_t size);
    // The digest in lower-case hexadecimal; the object is spent after it.
    std::string hex();
};

// The digest of the file at PATH in hexadecimal, or an empty string and
// ERROR set to "cannot read PATH: why".
std::string file_sha256(const std::string &path, std::string &error);

#endif
