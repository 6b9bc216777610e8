#include "security.h"

#include <algorithm>
#include <array>
#include <map>
#include <vector>

#include "crypto.h"
#include "document.h"
#include "parser.h"

namespace quillet {

namespace {

using crypto::Digest;
using crypto::Hash;

// The 32 bytes that pad a password for revisions 2 to 4 (ISO 32000-2,
// 7.6.4.3.2).
constexpr std::string_view kPadding(
    "\x28\xBF\x4E\x5E\x4E\x75\x8A\x41\x64\x00\x4E\x56\xFF\xFA\x01\x08"
    "\x2E\x2E\x00\xB6\xD0\x68\x3E\x80\x2F\x0C\xA9\xFE\x64\x53\x69\x7A",
    32);

// Revisions 5 and 6 read at most 127 bytes of a UTF-8 password.
constexpr size_t kMaxPasswordBytes = 127;

PdfError unsupported_handler(std::string_view what) {
    return PdfError::unsupported(0, "encryption handler " + std::string(what));
}

// ---- the /Encrypt dictionary ----

struct StandardHandler {
    int64_t version = 0;
    int64_t revision = 0;
    // Key lengths in bytes to try, in order: one, except for a /V 2
    // dictionary without /Length, where the default of 40 bits is tried
    // before the 128 bits some writers meant (/U tells which fits).
    std::vector<size_t> key_lengths;
    std::string owner;  // /O and /U: 32 bytes (R2-R4) or 48 (R5, R6)
    std::string user;
    std::string owner_key;  // /OE and /UE (R5, R6): 32 bytes
    std::string user_key;
    uint32_t permissions = 0;
    std::string id;  // first string of the trailer's /ID
    bool encrypt_metadata = true;
    CryptMethod strings = CryptMethod::Identity;
    CryptMethod streams = CryptMethod::Identity;
    CryptMethod embedded_files = CryptMethod::Identity;
    // The named crypt filters, for streams that name their own.
    std::map<std::string, CryptMethod, std::less<>> filters;
};

std::optional<int64_t> optional_integer(const Dictionary& dict, std::string_view key, std::string_view context) {
    const Object* value = dict.get(key);
    if (!value) return std::nullopt;
    const std::optional<int64_t> integer = value->as_integer();
    if (!integer) throw PdfError::type_mismatch(context, "integer");
    return integer;
}

// The leading `length` bytes of a required string entry.
std::string key_string(const Dictionary& dict, std::string_view key, std::string_view context, size_t length) {
    const Object* value = dict.get(key);
    if (!value) throw PdfError::missing_entry("encryption dictionary", key);
    const std::string* bytes = value->as_string();
    if (!bytes || bytes->size() < length) {
        throw PdfError::type_mismatch(context, length == 32 ? "string of at least 32 bytes" : "string of at least 48 bytes");
    }
    return bytes->substr(0, length);
}

CryptMethod filter_method(std::string_view cfm, int64_t version) {
    if (cfm == "None") return CryptMethod::Identity;
    // AES-256 keys exist only with /V 5, whose data is AES-256 throughout.
    if (version == 5 && cfm == "AESV3") return CryptMethod::Aes256;
    if (version == 4 && cfm == "V2") return CryptMethod::Rc4;
    if (version == 4 && cfm == "AESV2") return CryptMethod::Aes128;
    throw unsupported_handler("/Standard crypt filter method /" + utf8_lossy(cfm));
}

// /CF: each named crypt filter's method (/CFM, default /None).
void read_crypt_filters(const Dictionary& encrypt, StandardHandler& handler) {
    handler.filters.emplace("Identity", CryptMethod::Identity);
    const Object* cf = encrypt.get("CF");
    if (!cf) return;
    const Dictionary* filters = cf->as_dictionary();
    if (!filters) throw PdfError::type_mismatch("encryption dictionary /CF", "dictionary");
    for (const auto& [name, value] : *filters) {
        if (name == "Identity") continue;  // predefined, cannot be redefined
        const Dictionary* filter = value.as_dictionary();
        if (!filter) throw PdfError::type_mismatch("encryption dictionary /CF", "dictionary");
        const Object* cfm = filter->get("CFM");
        const std::string* method = cfm ? cfm->as_name() : nullptr;
        if (cfm && !method) throw PdfError::type_mismatch("crypt filter /CFM", "name");
        handler.filters.emplace(name, method ? filter_method(*method, handler.version) : CryptMethod::Identity);
    }
}

CryptMethod named_filter(const StandardHandler& handler, const Dictionary& encrypt, std::string_view key,
                         CryptMethod default_method) {
    const Object* value = encrypt.get(key);
    if (!value) return default_method;
    const std::string* name = value->as_name();
    if (!name) throw PdfError::type_mismatch("encryption dictionary /" + std::string(key), "name");
    const auto it = handler.filters.find(*name);
    if (it == handler.filters.end()) throw PdfError::missing_entry("encryption dictionary /CF", *name);
    return it->second;
}

std::vector<size_t> key_lengths(const Dictionary& encrypt, int64_t version, int64_t revision) {
    // Revision 2 keys are 40 bits whatever /Length says.
    if (version == 1 || revision == 2) return {5};
    if (version == 4) return {16};
    if (version == 5) return {32};
    const std::optional<int64_t> bits = optional_integer(encrypt, "Length", "encryption dictionary /Length");
    if (!bits) return {5, 16};
    if (*bits < 40 || *bits > 128 || *bits % 8 != 0) {
        throw PdfError::type_mismatch("encryption dictionary /Length", "multiple of 8 from 40 to 128");
    }
    return {static_cast<size_t>(*bits / 8)};
}

std::string first_id(const Dictionary& trailer) {
    const Object* id = trailer.get("ID");
    const Array* array = id ? id->as_array() : nullptr;
    const std::string* first = array && !array->empty() ? (*array)[0].as_string() : nullptr;
    return first ? *first : std::string();
}

// Reads the handler, recording in `description` what it learns as it goes,
// so that a dictionary refused halfway still reports its first entries.
StandardHandler read_handler(const Dictionary& encrypt, const Dictionary& trailer, Encryption& description) {
    const Object* filter = encrypt.get("Filter");
    if (!filter) throw PdfError::missing_entry("encryption dictionary", "Filter");
    const std::string* filter_name = filter->as_name();
    if (!filter_name) throw PdfError::type_mismatch("encryption dictionary /Filter", "name");
    description.filter = utf8_lossy(*filter_name);
    // Other handlers (the public-key one, /Adobe.PubSec, or a vendor's)
    // need keys this library does not have.
    if (*filter_name != "Standard") throw unsupported_handler("/" + *description.filter);

    StandardHandler handler;
    handler.version = optional_integer(encrypt, "V", "encryption dictionary /V").value_or(0);
    description.version = handler.version;
    const std::optional<int64_t> revision = optional_integer(encrypt, "R", "encryption dictionary /R");
    if (!revision) throw PdfError::missing_entry("encryption dictionary", "R");
    handler.revision = *revision;
    description.revision = handler.revision;
    const bool known_rc4 = (handler.version == 1 || handler.version == 2) && handler.revision >= 2 && handler.revision <= 3;
    const bool known_v4 = handler.version == 4 && handler.revision == 4;
    const bool known_aes256 = handler.version == 5 && (handler.revision == 5 || handler.revision == 6);
    if (!known_rc4 && !known_v4 && !known_aes256) {
        throw unsupported_handler("/Standard /V " + std::to_string(handler.version) + " /R " +
                                  std::to_string(handler.revision));
    }
    handler.key_lengths = key_lengths(encrypt, handler.version, handler.revision);
    if (handler.key_lengths.size() == 1) description.key_bits = static_cast<uint32_t>(handler.key_lengths[0] * 8);

    const size_t key_string_length = handler.revision >= 5 ? 48 : 32;
    handler.owner = key_string(encrypt, "O", "encryption dictionary /O", key_string_length);
    handler.user = key_string(encrypt, "U", "encryption dictionary /U", key_string_length);
    if (handler.revision >= 5) {
        handler.owner_key = key_string(encrypt, "OE", "encryption dictionary /OE", 32);
        handler.user_key = key_string(encrypt, "UE", "encryption dictionary /UE", 32);
    }
    const std::optional<int64_t> p = optional_integer(encrypt, "P", "encryption dictionary /P");
    if (!p) throw PdfError::missing_entry("encryption dictionary", "P");
    // Writers store the 32 permission bits signed or unsigned.
    handler.permissions = static_cast<uint32_t>(static_cast<uint64_t>(*p));
    description.permissions = static_cast<int32_t>(handler.permissions);
    handler.id = first_id(trailer);

    if (handler.version >= 4) {
        const Object* encrypt_metadata = encrypt.get("EncryptMetadata");
        const bool* flag = encrypt_metadata ? encrypt_metadata->as_bool() : nullptr;
        handler.encrypt_metadata = flag ? *flag : true;
        read_crypt_filters(encrypt, handler);
        handler.streams = named_filter(handler, encrypt, "StmF", CryptMethod::Identity);
        handler.strings = named_filter(handler, encrypt, "StrF", CryptMethod::Identity);
        handler.embedded_files = named_filter(handler, encrypt, "EFF", handler.streams);
    } else {
        handler.strings = handler.streams = handler.embedded_files = CryptMethod::Rc4;
        handler.filters.emplace("Identity", CryptMethod::Identity);
    }
    description.encrypt_metadata = handler.encrypt_metadata;
    description.string_method = handler.strings;
    description.stream_method = handler.streams;
    description.embedded_file_method = handler.embedded_files;
    return handler;
}

// ---- passwords and the file key ----

// The password's bytes for revisions 2 to 4, which take PDFDocEncoding:
// Latin-1 when every character has a byte there (PDFDocEncoding agrees with
// Latin-1 on the printable characters), else nothing.
std::optional<std::string> latin1_password(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<uint8_t>(utf8[i]);
        if (byte < 0x80) {
            out += static_cast<char>(byte);
            i += 1;
        } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size()) {
            out += static_cast<char>(((byte & 0x03) << 6) | (static_cast<uint8_t>(utf8[i + 1]) & 0x3F));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::string padded_password(std::string_view password) {
    std::string out(password.substr(0, 32));
    out += kPadding.substr(0, 32 - out.size());
    return out;
}

std::string little_endian_32(uint32_t value) {
    std::string out(4, '\0');
    for (size_t i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

std::string xor_key(std::string_view key, uint8_t value) {
    std::string out(key);
    for (char& c : out) c = static_cast<char>(static_cast<uint8_t>(c) ^ value);
    return out;
}

// Algorithm 2: the file key that a (user) password gives, revisions 2-4.
std::string rc4_era_file_key(const StandardHandler& handler, std::string_view password, size_t length) {
    Digest md5(Hash::Md5);
    md5.update(padded_password(password)).update(handler.owner).update(little_endian_32(handler.permissions));
    md5.update(handler.id);
    if (handler.revision >= 4 && !handler.encrypt_metadata) md5.update("\xFF\xFF\xFF\xFF");
    std::string hash = md5.finish();
    if (handler.revision >= 3) {
        for (int i = 0; i < 50; ++i) hash = crypto::digest(Hash::Md5, std::string_view(hash).substr(0, length));
    }
    return hash.substr(0, length);
}

// Algorithms 4 and 5: whether `key` reproduces /U.
bool user_key_matches(const StandardHandler& handler, const std::string& key) {
    if (handler.revision == 2) {
        std::string check(kPadding);
        crypto::rc4(key, check);
        return check == handler.user;
    }
    std::string check = Digest(Hash::Md5).update(kPadding).update(handler.id).finish();
    for (uint8_t i = 0; i < 20; ++i) crypto::rc4(xor_key(key, i), check);
    return check == std::string_view(handler.user).substr(0, 16);
}

std::optional<std::string> rc4_era_user(const StandardHandler& handler, std::string_view password) {
    for (size_t length : handler.key_lengths) {
        std::string key = rc4_era_file_key(handler, password, length);
        if (user_key_matches(handler, key)) return key;
    }
    return std::nullopt;
}

// Algorithm 7: the owner password decrypts /O to the padded user password.
std::optional<std::string> rc4_era_owner(const StandardHandler& handler, std::string_view password) {
    for (size_t length : handler.key_lengths) {
        std::string hash = crypto::digest(Hash::Md5, padded_password(password));
        if (handler.revision >= 3) {
            for (int i = 0; i < 50; ++i) hash = crypto::digest(Hash::Md5, hash);
        }
        const std::string key = hash.substr(0, handler.revision == 2 ? 5 : length);
        std::string user_password = handler.owner;
        if (handler.revision == 2) {
            crypto::rc4(key, user_password);
        } else {
            for (int i = 19; i >= 0; --i) crypto::rc4(xor_key(key, static_cast<uint8_t>(i)), user_password);
        }
        std::string file_key = rc4_era_file_key(handler, user_password, length);
        if (user_key_matches(handler, file_key)) return file_key;
    }
    return std::nullopt;
}

// Algorithm 2.B (revision 6; revision 5 is its first SHA-256 alone).
std::string aes256_hash(const StandardHandler& handler, std::string_view password, std::string_view salt,
                        std::string_view user_data) {
    std::string k = Digest(Hash::Sha256).update(password).update(salt).update(user_data).finish();
    if (handler.revision == 5) return k;
    // At least 64 rounds; then the last byte of E decides, and since it is
    // at most 255 the loop ends by round 288.
    for (int round = 1;; ++round) {
        std::string k1;
        k1.reserve(64 * (password.size() + k.size() + user_data.size()));
        for (int i = 0; i < 64; ++i) k1.append(password).append(k).append(user_data);
        const std::string e =
            crypto::aes_cbc_encrypt(std::string_view(k).substr(0, 16), std::string_view(k).substr(16, 16), k1);
        unsigned sum = 0;
        for (size_t i = 0; i < 16; ++i) sum += static_cast<uint8_t>(e[i]);
        const Hash next = sum % 3 == 0 ? Hash::Sha256 : sum % 3 == 1 ? Hash::Sha384 : Hash::Sha512;
        k = crypto::digest(next, e);
        if (round >= 64 && static_cast<uint8_t>(e.back()) <= round - 32) break;
    }
    return k.substr(0, 32);
}

// Algorithms 2.A, 11 and 12: revisions 5 and 6.  /U and /O are a 32-byte
// hash, an 8-byte validation salt and an 8-byte key salt; the file key is
// /UE or /OE decrypted with the hash of the password and the key salt.
std::optional<std::string> aes256_file_key(const StandardHandler& handler, std::string_view password, bool owner) {
    const std::string_view stored = owner ? handler.owner : handler.user;
    const std::string_view user_data = owner ? std::string_view(handler.user) : std::string_view();
    if (aes256_hash(handler, password, stored.substr(32, 8), user_data) != stored.substr(0, 32)) return std::nullopt;
    const std::string intermediate = aes256_hash(handler, password, stored.substr(40, 8), user_data);
    return crypto::aes_cbc_decrypt(intermediate, std::string(16, '\0'), owner ? handler.owner_key : handler.user_key);
}

struct FileKey {
    std::string key;
    PasswordKind kind;
};

std::optional<FileKey> authenticate(const StandardHandler& handler, std::string_view password) {
    if (handler.revision >= 5) {
        // Passwords are UTF-8 here; the SASLprep profile the standard asks
        // for is left to the caller (it changes only unusual characters).
        const std::string_view bytes = password.substr(0, kMaxPasswordBytes);
        if (auto key = aes256_file_key(handler, bytes, false)) return FileKey{std::move(*key), PasswordKind::User};
        if (auto key = aes256_file_key(handler, bytes, true)) return FileKey{std::move(*key), PasswordKind::Owner};
        return std::nullopt;
    }
    std::vector<std::string> candidates;
    if (std::optional<std::string> latin1 = latin1_password(password)) candidates.push_back(std::move(*latin1));
    if (candidates.empty() || candidates[0] != password) candidates.emplace_back(password);
    for (const std::string& candidate : candidates) {
        if (auto key = rc4_era_user(handler, candidate)) return FileKey{std::move(*key), PasswordKind::User};
    }
    for (const std::string& candidate : candidates) {
        if (auto key = rc4_era_owner(handler, candidate)) return FileKey{std::move(*key), PasswordKind::Owner};
    }
    return std::nullopt;
}

// ---- decrypting objects ----

// The plain bytes of `data`: RC4 in place; AES data is a 16-byte IV, then
// CBC blocks whose last is padded (PKCS #5).  Writers that cut the data or
// its padding short are read leniently, as readers generally do: a partial
// block is dropped, and padding that does not check out is kept.
void decrypt_bytes(std::string& data, std::string_view key, CryptMethod method) {
    if (method == CryptMethod::Identity) return;
    if (method == CryptMethod::Rc4) {
        crypto::rc4(key, data);
        return;
    }
    if (data.size() < 32) {
        data.clear();
        return;
    }
    const size_t blocks = (data.size() - 16) / 16;
    std::string plain = crypto::aes_cbc_decrypt(key, std::string_view(data).substr(0, 16),
                                                std::string_view(data).substr(16, blocks * 16));
    const auto pad = static_cast<uint8_t>(plain.back());
    if (pad >= 1 && pad <= 16 &&
        std::all_of(plain.end() - pad, plain.end(), [&](char c) { return static_cast<uint8_t>(c) == pad; })) {
        plain.resize(plain.size() - pad);
    }
    data = std::move(plain);
}

// Signature values are written in the clear so that they can be computed
// after the rest of the file: the /Contents of a signature dictionary.
bool is_signature_dictionary(const Dictionary& dict) {
    const Object* type = dict.get("Type");
    return (type && (type->is_name("Sig") || type->is_name("DocTimeStamp"))) || dict.contains("ByteRange");
}

// The /Name of a stream's own /Crypt filter (the first filter, when it is
// one); /Identity when its parameters name none.
std::optional<std::string> own_crypt_filter(const Dictionary& dict) {
    const Object* filter = dict.get("Filter");
    const Object* parms = dict.get("DecodeParms");
    if (!parms) parms = dict.get("DP");
    const Dictionary* crypt_parms = nullptr;
    if (filter && filter->is_name("Crypt")) {
        crypt_parms = parms ? parms->as_dictionary() : nullptr;
    } else if (const Array* filters = filter ? filter->as_array() : nullptr;
               filters && !filters->empty() && (*filters)[0].is_name("Crypt")) {
        const Array* parms_array = parms ? parms->as_array() : nullptr;
        crypt_parms = parms_array && !parms_array->empty() ? (*parms_array)[0].as_dictionary() : nullptr;
    } else {
        return std::nullopt;
    }
    const Object* name = crypt_parms ? crypt_parms->get("Name") : nullptr;
    const std::string* name_bytes = name ? name->as_name() : nullptr;
    return name_bytes ? *name_bytes : std::string("Identity");
}

// Once the data is plain, the /Crypt filter has done its work: it leaves the
// filter list (and its parameters), so decoding does not meet it again.
void drop_crypt_filter(Dictionary& dict) {
    const std::string_view parms_key = dict.contains("DecodeParms") ? "DecodeParms" : "DP";
    const Object* filter = dict.get("Filter");
    if (filter->as_name()) {
        dict.erase("Filter");
        dict.erase(parms_key);
        return;
    }
    Array filters(filter->as_array()->begin() + 1, filter->as_array()->end());
    if (const Object* parms = dict.get(parms_key); parms && parms->as_array() && !parms->as_array()->empty()) {
        Array rest(parms->as_array()->begin() + 1, parms->as_array()->end());
        dict.insert(std::string(parms_key), Object(std::move(rest)));
    }
    dict.insert("Filter", Object(std::move(filters)));
}

// Decrypts the strings and the stream of one indirect object with the keys
// derived from its id.
class ObjectDecryptor {
public:
    ObjectDecryptor(const StandardHandler& handler, const std::string* file_key, ObjectId id)
        : handler_(handler), file_key_(file_key), id_(id) {}

    void decrypt(Object& object) {
        if (Stream* stream = std::get_if<Stream>(&object.value)) {
            decrypt_stream(*stream);
        } else {
            decrypt_value(object, 0);
        }
    }

private:
    // Whether data under `method` can be made plain: always for Identity,
    // otherwise only with the file key.
    bool can_decrypt(CryptMethod method) const { return method == CryptMethod::Identity || file_key_; }

    // Algorithm 1: the object's key is the file key hashed with its number
    // and generation (and "sAlT" for AES); AES-256 uses the file key itself.
    const std::string& key_for(CryptMethod method) {
        std::string& key = keys_[static_cast<size_t>(method)];
        if (!key.empty()) return key;
        if (method == CryptMethod::Aes256) return key = *file_key_;
        const uint32_t n = id_.number;
        const uint16_t g = id_.generation;
        const char suffix[5] = {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                                static_cast<char>((n >> 16) & 0xFF), static_cast<char>(g & 0xFF),
                                static_cast<char>((g >> 8) & 0xFF)};
        Digest md5(Hash::Md5);
        md5.update(*file_key_).update(std::string_view(suffix, 5));
        if (method == CryptMethod::Aes128) md5.update("sAlT");
        key = md5.finish().substr(0, std::min<size_t>(file_key_->size() + 5, 16));
        return key;
    }

    void decrypt_data(std::string& data, CryptMethod method) {
        if (method != CryptMethod::Identity) decrypt_bytes(data, key_for(method), method);
    }

    // Recursion follows the object's own nesting, which the parser already
    // bounds (kMaxNestingDepth); the depth is checked again in case a caller
    // ever hands in a deeper, built object.
    void decrypt_value(Object& object, int depth) {
        if (depth > kMaxNestingDepth) throw PdfError::limit_exceeded("encrypted object", kMaxNestingDepth, "levels");
        switch (object.kind()) {
            case Object::kString:
                if (file_key_) decrypt_data(std::get<String>(object.value).bytes, handler_.strings);
                return;
            case Object::kArray:
                for (Object& item : std::get<Array>(object.value)) decrypt_value(item, depth + 1);
                return;
            case Object::kDictionary:
                decrypt_dictionary(std::get<Dictionary>(object.value), depth + 1);
                return;
            default:
                return;
        }
    }

    void decrypt_dictionary(Dictionary& dict, int depth) {
        const bool signature = is_signature_dictionary(dict);
        dict.for_each_value([&](std::string_view key, Object& value) {
            if (!(signature && key == "Contents")) decrypt_value(value, depth);
        });
    }

    void decrypt_stream(Stream& stream) {
        const Object* type = stream.dict.get("Type");
        // A cross-reference stream is read before any key exists.
        if (type && type->is_name("XRef")) return;
        const bool metadata = type && type->is_name("Metadata");
        const bool embedded_file = type && type->is_name("EmbeddedFile");
        decrypt_dictionary(stream.dict, 1);
        if (std::optional<std::string> name = own_crypt_filter(stream.dict)) {
            const auto it = handler_.filters.find(*name);
            // An unknown filter, or one without the key, leaves /Crypt in
            // place: decoding then refuses the stream instead of returning
            // ciphertext.
            if (it == handler_.filters.end() || !can_decrypt(it->second)) return;
            decrypt_data(stream.data, it->second);
            drop_crypt_filter(stream.dict);
            return;
        }
        if (metadata && !handler_.encrypt_metadata) return;
        const CryptMethod method = embedded_file ? handler_.embedded_files : handler_.streams;
        if (file_key_) decrypt_data(stream.data, method);
    }

    const StandardHandler& handler_;
    const std::string* file_key_;  // nullptr: no password fitted
    ObjectId id_;
    std::array<std::string, 4> keys_;  // per CryptMethod, derived on first use
};

}  // namespace

const char* crypt_method_name(CryptMethod method) {
    switch (method) {
        case CryptMethod::Identity: return "Identity";
        case CryptMethod::Rc4: return "RC4";
        case CryptMethod::Aes128: return "AESV2";
        case CryptMethod::Aes256: return "AESV3";
    }
    return "Identity";
}

std::optional<Encryption> decrypt_objects(const Dictionary& trailer, ObjectTable& objects,
                                          const std::optional<std::string>& password) {
    const Object* entry = trailer.get("Encrypt");
    if (!entry || entry->is_null()) return std::nullopt;
    const std::optional<ObjectId> encrypt_id = entry->as_reference();
    Encryption result;
    std::optional<StandardHandler> handler;
    try {
        const Object* target = encrypt_id ? objects.find(*encrypt_id) : entry;
        if (!target) throw PdfError::dangling_reference(*encrypt_id);
        if (target->is_null()) return std::nullopt;
        const Dictionary* dict = target->as_dictionary();
        if (!dict) throw PdfError::type_mismatch("trailer /Encrypt", "dictionary");
        handler = read_handler(*dict, trailer, result);
    } catch (const PdfError& error) {
        // Nothing is known about how the data is encrypted: all of it stays
        // as stored.
        result.failure = error;
        result.strings_locked = result.streams_locked = result.embedded_files_locked = true;
        return result;
    }

    std::optional<FileKey> key = authenticate(*handler, password ? std::string_view(*password) : std::string_view());
    if (key) {
        result.opened_with = key->kind;
        result.key_bits = static_cast<uint32_t>(key->key.size() * 8);
    } else {
        if (password) throw PdfError::unsupported(0, "encrypted document, incorrect password");
        result.failure = PdfError::unsupported(0, "encrypted document, password required");
        result.strings_locked = handler->strings != CryptMethod::Identity;
        result.streams_locked = handler->streams != CryptMethod::Identity;
        result.embedded_files_locked = handler->embedded_files != CryptMethod::Identity;
    }
    const std::string* file_key = key ? &key->key : nullptr;
    for (auto& [id, object] : objects.loading_entries()) {
        if (encrypt_id && id == *encrypt_id) continue;
        ObjectDecryptor(*handler, file_key, id).decrypt(object);
    }
    return result;
}

}  // namespace quillet
