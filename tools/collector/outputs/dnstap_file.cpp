#include "outputs/dnstap_file.h"

#include <fstrm.h>

#include <cerrno>
#include <cstring>

#include "outputs/dnstap_message.h"

namespace kr::collector {

DnstapFile::~DnstapFile() {
    close();
}

bool DnstapFile::open(const std::string& path, std::string& error) {
    fstrm_file_options* file_options = fstrm_file_options_init();
    fstrm_file_options_set_file_path(file_options, path.c_str());
    fstrm_writer_options* writer_options = fstrm_writer_options_init();
    fstrm_writer_options_add_content_type(writer_options, kDnstapContentType.data(), kDnstapContentType.size());
    writer_ = fstrm_file_writer_init(file_options, writer_options);
    fstrm_writer_options_destroy(&writer_options);
    fstrm_file_options_destroy(&file_options);
    errno = 0;
    if (writer_ == nullptr || fstrm_writer_open(writer_) != fstrm_res_success) {
        const int code = errno;
        fstrm_writer_destroy(&writer_);
        error = "cannot create " + path + (code != 0 ? std::string(": ") + std::strerror(code) : "");
        return false;
    }
    path_ = path;
    failed_ = false;
    return true;
}

void DnstapFile::write(const std::vector<std::uint8_t>& frame) {
    if (writer_ != nullptr && !failed_) {
        failed_ = fstrm_writer_write(writer_, frame.data(), frame.size()) != fstrm_res_success;
    }
}

bool DnstapFile::check(std::string& error) const {
    if (failed_) {
        error = "write to " + path_ + " failed";
    }
    return !failed_;
}

void DnstapFile::close() {
    if (writer_ != nullptr) {
        fstrm_writer_close(writer_);
        fstrm_writer_destroy(&writer_);
    }
}

}  // namespace kr::collector
