// The cryptographic primitives the standard security handler needs: MD5 and
// SHA-2 digests and AES-CBC through OpenSSL's libcrypto (EVP interfaces),
// and RC4, which OpenSSL 3 keeps in its legacy provider (not loaded by
// default), written out here.  Keys and data are byte strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::crypto {

enum class Hash : uint8_t { Md5, Sha256, Sha384, Sha512 };

// An incremental digest: feed the parts, then take the result once.
class Digest {
public:
    explicit Digest(Hash hash);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    Digest& update(std::string_view bytes);
    // 16 bytes for MD5, 32, 48 or 64 for SHA-256, -384, -512.
    std::string finish();

private:
    void* context_;  // EVP_MD_CTX, kept out of this header
};

std::string digest(Hash hash, std::string_view bytes);

// RC4 keyed with `key` (1 to 256 bytes) applied in place: encryption and
// decryption are the same operation.
void rc4(std::string_view key, std::string& data);

// AES in CBC mode with a 16- or 32-byte key and a 16-byte IV, no padding:
// the input must be a whole number of 16-byte blocks.
std::string aes_cbc_encrypt(std::string_view key, std::string_view iv, std::string_view data);
std::string aes_cbc_decrypt(std::string_view key, std::string_view iv, std::string_view data);

}  // namespace quillet::crypto
