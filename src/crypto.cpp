#include "crypto.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

namespace quillet::crypto {

namespace {

// libcrypto fails only on exhausted memory or a broken installation, never
// because of the input: an internal failure, not a PdfError.
[[noreturn]] void openssl_failure(const char* what) {
    throw std::runtime_error(std::string("OpenSSL failed in ") + what);
}

const EVP_MD* hash_method(Hash hash) {
    switch (hash) {
        case Hash::Md5: return EVP_md5();
        case Hash::Sha256: return EVP_sha256();
        case Hash::Sha384: return EVP_sha384();
        case Hash::Sha512: return EVP_sha512();
    }
    openssl_failure("hash selection");
}

const unsigned char* bytes_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

std::string aes_cbc(std::string_view key, std::string_view iv, std::string_view data, bool encrypt) {
    const EVP_CIPHER* cipher = key.size() == 32 ? EVP_aes_256_cbc() : EVP_aes_128_cbc();
    if ((key.size() != 16 && key.size() != 32) || iv.size() != 16 || data.size() % 16 != 0) {
        openssl_failure("AES argument check");
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
    if (!context || EVP_CipherInit_ex(context.get(), cipher, nullptr, bytes_of(key), bytes_of(iv), encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        openssl_failure("AES set-up");
    }
    std::string out(data.size(), '\0');
    // The interface counts in int: a stream beyond 2 GiB goes in pieces
    // (whole blocks, so the chaining carries over).
    constexpr size_t kPiece = size_t{1} << 30;
    for (size_t done = 0; done < data.size(); done += kPiece) {
        const size_t piece = std::min(kPiece, data.size() - done);
        int written = 0;
        if (EVP_CipherUpdate(context.get(), reinterpret_cast<unsigned char*>(out.data() + done), &written,
                             bytes_of(data.substr(done, piece)), static_cast<int>(piece)) != 1 ||
            static_cast<size_t>(written) != piece) {
            openssl_failure("AES");
        }
    }
    return out;
}

}  // namespace

Digest::Digest(Hash hash) : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), hash_method(hash), nullptr) != 1) {
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
        openssl_failure("digest set-up");
    }
}

Digest::~Digest() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

Digest& Digest::update(std::string_view bytes) {
    if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), bytes.data(), bytes.size()) != 1) {
        openssl_failure("digest");
    }
    return *this;
}

std::string Digest::finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), out, &length) != 1) openssl_failure("digest");
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string digest(Hash hash, std::string_view bytes) { return Digest(hash).update(bytes).finish(); }

void rc4(std::string_view key, std::string& data) {
    if (key.empty() || key.size() > 256) openssl_failure("RC4 key check");
    uint8_t state[256];
    for (int i = 0; i < 256; ++i) state[i] = static_cast<uint8_t>(i);
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<uint8_t>(j + state[i] + static_cast<uint8_t>(key[static_cast<size_t>(i) % key.size()]));
        std::swap(state[i], state[j]);
    }
    uint8_t i = 0;
    j = 0;
    for (char& byte : data) {
        i = static_cast<uint8_t>(i + 1);
        j = static_cast<uint8_t>(j + state[i]);
        std::swap(state[i], state[j]);
        byte = static_cast<char>(static_cast<uint8_t>(byte) ^ state[static_cast<uint8_t>(state[i] + state[j])]);
    }
}

std::string aes_cbc_encrypt(std::string_view key, std::string_view iv, std::string_view data) {
    return aes_cbc(key, iv, data, true);
}

std::string aes_cbc_decrypt(std::string_view key, std::string_view iv, std::string_view data) {
    return aes_cbc(key, iv, data, false);
}

}  // namespace quillet::crypto
