#include "platform/ewf_image.h"

#include <libewf.h>

#include <cerrno>

namespace vellumark::platform {

namespace {

// The library's own description of what went wrong, and the error freed.
std::string errorText(libewf_error_t*& error) {
  if (error == nullptr) return "unknown error";
  char text[512] = {};
  libewf_error_sprint(error, text, sizeof text);
  libewf_error_free(&error);
  return text;
}

}  // namespace

struct EwfImage::Handle {
  libewf_handle_t* ewf = nullptr;
  ~Handle() {
    if (ewf == nullptr) return;
    libewf_error_t* error = nullptr;
    libewf_handle_close(ewf, &error);
    if (error != nullptr) libewf_error_free(&error);
    libewf_handle_free(&ewf, &error);
    if (error != nullptr) libewf_error_free(&error);
  }
};

EwfImage::EwfImage(EwfImage&&) noexcept = default;
EwfImage& EwfImage::operator=(EwfImage&&) noexcept = default;
EwfImage::~EwfImage() = default;

Expected<EwfImage> EwfImage::open(const std::string& firstSegment) {
  libewf_error_t* error = nullptr;
  char** names = nullptr;
  int count = 0;
  if (libewf_glob(firstSegment.c_str(), firstSegment.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) != 1)
    return OsError{0, "finding the segments of " + firstSegment + ": " + errorText(error)};
  EwfImage image;
  image.handle_ = std::make_unique<Handle>();
  image.segments_ = count;
  bool opened = libewf_handle_initialize(&image.handle_->ewf, &error) == 1 &&
                libewf_handle_open(image.handle_->ewf, names, count, LIBEWF_OPEN_READ, &error) == 1;
  libewf_error_t* freeError = nullptr;
  libewf_glob_free(names, count, &freeError);
  if (freeError != nullptr) libewf_error_free(&freeError);
  if (!opened) return OsError{0, "open " + firstSegment + ": " + errorText(error)};
  size64_t size = 0;
  uint32_t sectorBytes = 0;
  if (libewf_handle_get_media_size(image.handle_->ewf, &size, &error) != 1)
    return OsError{0, "size of " + firstSegment + ": " + errorText(error)};
  if (libewf_handle_get_bytes_per_sector(image.handle_->ewf, &sectorBytes, &error) != 1) {
    libewf_error_free(&error);
    sectorBytes = 512;
  }
  image.mediaSize_ = size;
  image.bytesPerSector_ = sectorBytes == 0 ? 512u : sectorBytes;
  return image;
}

Expected<std::size_t> EwfImage::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  if (offset >= mediaSize_ || buffer.empty()) return std::size_t{0};
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), mediaSize_ - offset));
  std::size_t done = 0;
  while (done < want) {
    libewf_error_t* error = nullptr;
    const ssize_t n = libewf_handle_read_random(handle_->ewf, buffer.data() + done, want - done,
                                                static_cast<off64_t>(offset + done), &error);
    if (n < 0) return OsError{EIO, "read at byte " + std::to_string(offset + done) + " of the EWF image: " + errorText(error)};
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool isEwfFile(const std::string& path) {
  libewf_error_t* error = nullptr;
  const int result = libewf_check_file_signature(path.c_str(), &error);
  if (error != nullptr) libewf_error_free(&error);
  return result == 1;
}

}  // namespace vellumark::platform
