// GB18030 <-> UTF-8 conversion of the Utility class over the system's iconv.
#include <cerrno>
#include <mutex>

#include <iconv.h>

#include "utils/utility.h"

namespace {

// One process-wide descriptor per direction, opened on first use and kept. A failed open is
// remembered and not retried. iconv descriptors carry conversion state, so each call holds the
// direction's mutex for the whole conversion.
class Converter {
public:
    Converter(const char* to, const char* from) : to_(to), from_(from) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) ::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    ConvResult run(const char* in, unsigned inLen, char* out, unsigned outRoom) {
        std::lock_guard lock(mutex_);
        if (!opened_) {
            opened_ = true;
            cd_ = ::iconv_open(to_, from_);
            if (cd_ == reinterpret_cast<iconv_t>(-1)) openErr_ = errno ? errno : EINVAL;
        }
        if (cd_ == reinterpret_cast<iconv_t>(-1)) return {openErr_, false};
        if (inLen > 0 && (!in || !out)) return {EINVAL, false};
        // Start from the initial state whatever an earlier failed call left behind.
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in);
        size_t srcLeft = inLen;
        char* dst = out;
        size_t dstLeft = outRoom;
        if (::iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) return {errno, false};
        // Flush any pending shift sequence into the output.
        if (::iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1)) return {errno, false};
        return {0, true};
    }

private:
    const char* to_;
    const char* from_;
    std::mutex mutex_;
    bool opened_ = false;
    iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
    int openErr_ = 0;
};

Converter& gbToUtf8() {
    static Converter c("UTF-8", "GB18030");
    return c;
}

Converter& utf8ToGb() {
    static Converter c("GB18030", "UTF-8");
    return c;
}

}  // namespace

ConvResult Utility::gb18030_to_utf8(const char* in, unsigned inLen, char* out, unsigned outRoom) {
    return gbToUtf8().run(in, inLen, out, outRoom);
}

ConvResult Utility::utf8_to_gb18030(const char* in, unsigned inLen, char* out, unsigned outRoom) {
    return utf8ToGb().run(in, inLen, out, outRoom);
}
