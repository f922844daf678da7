// Opening an entry through libzip: the password asked for an encrypted entry (the last one given
// is tried first, and asked again once per entry when it is wrong), and the one place that
// sorts out why an entry cannot be opened (an unsupported method or encryption, a wrong or
// refused password, damage).
#pragma once

#include <zip.h>

#include <cstddef>
#include <string>

#include "Archive.h"
#include "Plan.h"
#include "Report.h"

namespace bq::unzipengine {

class Passwords {
  public:
    Passwords(const Archive& archive, Report& report) : archive_(archive), report_(report) {}

    // Opens entry i for reading; null after reporting why it cannot be read.
    zip_file_t* Open(std::size_t i, const Planned& p);

  private:
    // Reports why opening failed, from libzip's error code.
    void OpenFailed(std::size_t i, const Planned& p, int code, const std::string& detail);
    zip_file_t* OpenEncrypted(std::size_t i) const;

    const Archive& archive_;
    Report& report_;
    std::string password_;
    bool havePassword_ = false;
};

}  // namespace bq::unzipengine
