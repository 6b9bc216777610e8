// Encrypted documents: the standard security handler of PDF (revisions 2
// to 6: RC4 with 40- to 128-bit keys, crypt filters with RC4 or AES-128,
// AES-256).  A document is decrypted while it loads: every string and
// stream of the directly stored objects is replaced by its plain bytes, so
// object streams open like those of a plain file and every later query
// reads plain data.
//
// What is never encrypted stays as stored: the trailer, the /Encrypt
// dictionary, cross-reference streams, the /Contents of signature
// dictionaries, streams and strings whose crypt filter is /Identity, and
// with /EncryptMetadata false the /Type /Metadata streams.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "error.h"
#include "object.h"

namespace quillet {

class ObjectTable;

// How one class of data is encrypted.  /None (the application decrypts)
// reads as Identity: the bytes are used as stored.
enum class CryptMethod : uint8_t { Identity, Rc4, Aes128, Aes256 };

// "Identity", "RC4", "AESV2" or "AESV3": the names the crypt filters use.
const char* crypt_method_name(CryptMethod method);

enum class PasswordKind : uint8_t { User, Owner };

// What a document's encryption is and whether it could be undone.
struct Encryption {
    // The /Encrypt dictionary as far as it could be read; absent entries
    // stay empty.
    std::optional<std::string> filter;  // /Filter, e.g. Standard
    std::optional<int64_t> version;     // /V
    std::optional<int64_t> revision;    // /R
    std::optional<uint32_t> key_bits;
    std::optional<CryptMethod> string_method;
    std::optional<CryptMethod> stream_method;
    std::optional<CryptMethod> embedded_file_method;
    std::optional<int64_t> permissions;  // /P as a signed 32-bit value
    bool encrypt_metadata = true;

    // The password that produced the file key; absent when none did.
    std::optional<PasswordKind> opened_with;
    // Why some data stays encrypted (no password fitted, an unknown
    // handler, a broken /Encrypt dictionary); absent once decrypted.
    std::optional<PdfError> failure;
    // Which data stays encrypted because of `failure`.
    bool strings_locked = false;
    bool streams_locked = false;
    bool embedded_files_locked = false;
};

// Reads the trailer's /Encrypt and decrypts, in place, every string and
// stream of `objects` (the directly stored objects; objects inside object
// streams are plain once their stream is).  Returns nothing for a document
// without /Encrypt (or with /Encrypt null).
//
// `password` (UTF-8) is tried as the user password, then as the owner
// password; without one the empty password is.  A password that the caller
// gave and that fits neither fails with
// "unsupported PDF feature at byte 0: encrypted document, incorrect password".
// Every other obstacle leaves the data as stored and is recorded in the
// result's `failure`.
std::optional<Encryption> decrypt_objects(const Dictionary& trailer, ObjectTable& objects,
                                          const std::optional<std::string>& password);

}  // namespace quillet
