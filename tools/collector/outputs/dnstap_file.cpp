#include "outputs/dnstap_file.h"

#include <fcntl.h>
#include <fstrm.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "outputs/dnstap_message.h"

namespace kr::collector {

namespace {
// Held frames are written out at this size even before the next flush.
constexpr std::size_t kWriteBytes = 256 * 1024;
}  // namespace

DnstapFile::~DnstapFile() {
    std::string ignored;
    close(ignored);
}

bool DnstapFile::open(const std::string& path, std::string& error) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    errno_ = 0;
    held_.clear();
    // libfstrm frames the stream; the bytes come here, and go to the file at a flush.
    fstrm_rdwr* rdwr = fstrm_rdwr_init(this);
    fstrm_rdwr_set_open(rdwr, [](void*) { return fstrm_res_success; });
    fstrm_rdwr_set_close(rdwr, [](void*) { return fstrm_res_success; });
    fstrm_rdwr_set_write(rdwr, [](void* self, const iovec* iov, int count) {
        auto* file = static_cast<DnstapFile*>(self);
        for (int i = 0; i < count; ++i) {
            file->held_.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
        }
        return file->held_.size() < kWriteBytes || file->write_out() ? fstrm_res_success : fstrm_res_failure;
    });
    fstrm_writer_options* options = fstrm_writer_options_init();
    fstrm_writer_options_add_content_type(options, kDnstapContentType.data(), kDnstapContentType.size());
    writer_ = fstrm_writer_init(options, &rdwr);
    fstrm_writer_options_destroy(&options);
    if (writer_ == nullptr || fstrm_writer_open(writer_) != fstrm_res_success) {
        fstrm_writer_destroy(&writer_);
        ::close(fd_);
        fd_ = -1;
        error = "cannot create " + path + ": the Frame Streams writer failed";
        return false;
    }
    // The START frame now, so that the file is a stream from the start; a
    // failure shows at the first flush, as one of a JSON file does.
    write_out();
    return true;
}

void DnstapFile::write(const std::vector<std::uint8_t>& frame) {
    if (writer_ != nullptr && errno_ == 0) {
        fstrm_writer_write(writer_, frame.data(), frame.size());
    }
}

bool DnstapFile::write_out() {
    std::size_t done = 0;
    while (errno_ == 0 && done < held_.size()) {
        const ssize_t wrote = ::write(fd_, held_.data() + done, held_.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote == 0 || errno != EINTR) {
            errno_ = wrote == 0 ? EIO : errno;
        }
    }
    held_.clear();
    return errno_ == 0;
}

bool DnstapFile::flush(std::string& error) {
    if (writer_ != nullptr && !write_out()) {
        error = "write to " + path_ + " failed: " + std::strerror(errno_);
        return false;
    }
    return true;
}

bool DnstapFile::close(std::string& error) {
    if (writer_ == nullptr) {
        return true;
    }
    if (errno_ == 0) {
        fstrm_writer_close(writer_);  // the STOP frame, held like the others
        write_out();
    }
    fstrm_writer_destroy(&writer_);
    if (::close(fd_) != 0 && errno_ == 0) {
        errno_ = errno;
    }
    fd_ = -1;
    if (errno_ != 0) {
        error = "write to " + path_ + " failed: " + std::strerror(errno_);
        return false;
    }
    return true;
}

}  // namespace kr::collector
