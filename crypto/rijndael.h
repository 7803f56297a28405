// CRijndael: the Rijndael block cipher (AES for 16-byte blocks) in the deciphering direction, ECB,
// for block sizes and key lengths of 16, 24 and 32 bytes. It deciphers the firmware configuration files.
#pragma once

#include <cstddef>
#include <cstdint>

// Misuse raises std::runtime_error with one of the messages "Empty key", "Incorrect key length",
// "Incorrect block length", "Object not Initialized", "Data not multiple of Block Size".
class CRijndael {
public:
    CRijndael() = default;
    virtual ~CRijndael() = default;

    // Keys the object: key holds keyLength bytes, chain blockSize bytes (both 16, 24 or 32). A failing call
    // changes nothing. The chain block is kept as given; ECB never uses it (null stands for zeros).
    void SetKey(const char* key, const char* chain, int keyLength = 16, int blockSize = 16);

    // Deciphers one block of the block size from in to out (they may be the same buffer).
    void DecipherBlock(const char* in, char* out) const;

    // Deciphers n bytes block by block (ECB) and returns n. A trailing part of r < block size bytes is
    // deciphered as a block completed with zero bytes, of which the first r bytes are written.
    std::size_t Decipher(const char* in, char* out, std::size_t n) const;

protected:
    // The path for any block size, taken for 24- and 32-byte blocks; 16-byte blocks have a faster one.
    // Open to derived classes so that the two paths can be compared.
    void DecipherBlockGeneral(const char* in, char* out) const;

private:
    void CheckKeyed() const;

    bool keyed = false;
    int keyLength = 0;
    int blockSize = 0;
    int rounds = 0;
    // Round keys of the equivalent inverse cipher: round r at decryptKeys[r * Nb], round 0 applied first.
    std::uint32_t decryptKeys[15 * 8] = {};
    // Kept as given to SetKey; all deciphering is ECB, so nothing reads them.
    char initialChain[32] = {};
    char currentChain[32] = {};
};
