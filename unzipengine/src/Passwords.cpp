// Opening entries through libzip, with passwords (see Passwords.h).
#include "Passwords.h"

#include <cstring>

namespace bq::unzipengine {

void Passwords::OpenFailed(std::size_t i, const Planned& p, int code, const std::string& detail) {
    const std::string shown = Report::Shown(p.name.shown);
    if (archive_.File().Shrunk()) {
        report_.ArchiveChanged(shown, archive_.Path());
    } else if (code == ZIP_ER_COMPNOTSUPP || code == ZIP_ER_ENCRNOTSUPP) {
        ++report_.unsupported;
        report_.Fail(BQUZP_WARN, "  skipping: " + shown + ": its compression method (" +
                                     MethodName(p.method, archive_.Entry(i).flags) +
                                     ") or encryption is not supported; extract it with another "
                                     "tool");
    } else if (code == ZIP_ER_WRONGPASSWD) {
        ++report_.badPassword;
        report_.Fail(BQUZP_WARN, "  skipping: " + shown + ": " + detail);
    } else {
        report_.Fail(BQUZP_ERR, "  error: " + shown + ": cannot be read: " + detail +
                                    "; get an undamaged copy");
    }
}

zip_file_t* Passwords::OpenEncrypted(std::size_t i) const {
    return zip_fopen_index_encrypted(archive_.Zip(), archive_.ZipIndex(i), 0, password_.c_str());
}

zip_file_t* Passwords::Open(std::size_t i, const Planned& p) {
    // Methods libzip cannot read are refused here, before zip_fopen_*: libzip 1.7 leaks memory
    // when opening fails on an unsupported encryption method.
    const zip_stat_t& zs = archive_.Stat(i);
    if (((zs.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 &&
         zip_encryption_method_supported(zs.encryption_method, 0) == 0) ||
        ((zs.valid & ZIP_STAT_COMP_METHOD) != 0 &&
         zip_compression_method_supported(zs.comp_method, 0) == 0)) {
        OpenFailed(i, p, ZIP_ER_COMPNOTSUPP, std::string());
        return nullptr;
    }
    zip_t* zip = archive_.Zip();
    auto failed = [&](const char* wrongPassword) {
        const int code = zip_error_code_zip(zip_get_error(zip));
        OpenFailed(
            i, p, code,
            code == ZIP_ER_WRONGPASSWD ? wrongPassword : zip_error_strerror(zip_get_error(zip)));
        return nullptr;
    };
    if (!p.encrypted) {
        zip_file_t* f = zip_fopen_index(zip, archive_.ZipIndex(i), 0);
        return f != nullptr ? f : failed("");
    }
    if (havePassword_) {
        if (zip_file_t* f = OpenEncrypted(i)) {
            return f;
        }
        if (zip_error_code_zip(zip_get_error(zip)) != ZIP_ER_WRONGPASSWD) {
            return failed("");
        }
    }
    const UzpCallbacks& callbacks = report_.Callbacks();
    const std::string shown = Report::Shown(p.name.shown);
    if (callbacks.Password == nullptr) {
        ++report_.badPassword;
        report_.Fail(BQUZP_WARN,
                     "  skipping: " + shown + ": it is encrypted and no password was given");
        return nullptr;
    }
    char buffer[BQUZP_PASSWORD_BUFFER_SIZE];
    std::memset(buffer, 0, sizeof buffer);
    const std::string prompt = "Password for " + shown + ":";
    if (callbacks.Password(buffer, static_cast<std::int32_t>(sizeof buffer), prompt.c_str(),
                           p.name.shown.c_str()) != 0) {
        ++report_.badPassword;
        report_.Fail(BQUZP_WARN,
                     "  skipping: " + shown + ": it is encrypted and the password was refused");
        return nullptr;
    }
    password_.assign(buffer, strnlen(buffer, sizeof buffer - 1));
    havePassword_ = true;
    zip_file_t* f = OpenEncrypted(i);
    return f != nullptr ? f : failed("incorrect password");
}

}  // namespace bq::unzipengine
