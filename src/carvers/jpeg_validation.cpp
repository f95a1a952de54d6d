#include "carvers/jpeg_validation.h"

// libjpeg reports fatal errors through error_exit, which must not return: it jumps back to
// the setjmp in decodeAll. Nothing with a destructor lives in the frames it jumps over.
#include <csetjmp>
#include <algorithm>
#include <cstdio>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace vellumark {

namespace {

// The decoder needs no more than this for the coefficients of a progressive image (about
// 80 megapixels); a header that asks for more fails instead of exhausting memory.
constexpr long kMaxDecoderMemory = 256L << 20;

struct ErrorTrap {
  jpeg_error_mgr manager;   // first, so the decoder's err pointer is also the trap's
  std::jmp_buf jump;
  bool dataEnded = false;   // the entropy-coded data ran out: the rest would be filler
};

[[noreturn]] void jumpOnError(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<ErrorTrap*>(cinfo->err)->jump, 1);
}

// Warnings are counted and otherwise tolerated; trace messages are dropped.
void noteMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  ++cinfo->err->num_warnings;
  const int code = cinfo->err->msg_code;
  if (code == JWRN_HIT_MARKER || code == JWRN_JPEG_EOF) reinterpret_cast<ErrorTrap*>(cinfo->err)->dataEnded = true;
}

class Validator {
 public:
  Validator() {
    jpeg_std_error(&trap_.manager);
    trap_.manager.error_exit = jumpOnError;
    trap_.manager.emit_message = noteMessage;
    decoder_.err = &trap_.manager;
    if (setjmp(trap_.jump) != 0) return;   // creation itself failed: created_ stays false
    jpeg_create_decompress(&decoder_);
    decoder_.mem->max_memory_to_use = kMaxDecoderMemory;
    created_ = true;
  }
  ~Validator() {
    if (created_) jpeg_destroy_decompress(&decoder_);
  }
  Validator(const Validator&) = delete;
  Validator& operator=(const Validator&) = delete;

  std::optional<JpegImageSize> validate(Bytes image, JpegDecodeScale scale) {
    if (!created_ || image.empty()) return std::nullopt;
    JpegImageSize size;
    trap_.dataEnded = false;
    trap_.manager.num_warnings = 0;
    const bool ok = decodeAll(image, static_cast<unsigned>(scale), size);
    // Leaves the decoder ready for the next image, whatever state the error left it in.
    jpeg_abort_decompress(&decoder_);
    if (!ok) return std::nullopt;
    return size;
  }

 private:
  bool decodeAll(Bytes image, unsigned scaleDenom, JpegImageSize& size) {
    if (setjmp(trap_.jump) != 0) return false;
    jpeg_mem_src(&decoder_, image.data(), static_cast<unsigned long>(image.size()));
    if (jpeg_read_header(&decoder_, TRUE) != JPEG_HEADER_OK) return false;
    size.width = decoder_.image_width;
    size.height = decoder_.image_height;
    decoder_.out_color_space = JCS_RGB;
    decoder_.scale_num = 1;
    decoder_.scale_denom = scaleDenom;
    // The pixels are only looked at for their existence: the cheapest inverse transform, no
    // smoothing of progressive blocks and no fancy upsampling (which would also make the
    // decoder produce skipped rows of halved colour instead of only decoding them). None of
    // these changes which entropy-coded bytes are decoded.
    decoder_.dct_method = JDCT_IFAST;
    decoder_.do_fancy_upsampling = FALSE;
    decoder_.do_block_smoothing = FALSE;
    jpeg_start_decompress(&decoder_);
    const bool ok = decoder_.progressive_mode ? readRows() : skipRows();
    if (!ok || trap_.dataEnded) return ok;
    jpeg_finish_decompress(&decoder_);
    return true;
  }

  // Every entropy-coded byte is still decoded (that is where damage shows), but skipped rows
  // need no inverse transform, upsampling or colour conversion. Both loops go a few rows at a
  // time: once the data has run out the decoder only pads with grey, and a header that
  // declares a huge picture over a few bytes must not cost minutes of padding.
  bool skipRows() {
    const JDIMENSION step = static_cast<JDIMENSION>(decoder_.rec_outbuf_height) * 64;
    if (step == 0) return false;
    while (decoder_.output_scanline < decoder_.output_height) {
      if (trap_.dataEnded) return true;
      const JDIMENSION left = decoder_.output_height - decoder_.output_scanline;
      if (jpeg_skip_scanlines(&decoder_, std::min(step, left)) == 0) return false;
    }
    return true;
  }

  // A progressive image has been entropy-decoded by now; its rows are read (at the chosen
  // scale) because skipping them costs more there than it saves.
  bool readRows() {
    const std::size_t rowBytes = std::size_t{decoder_.output_width} * static_cast<std::size_t>(decoder_.output_components);
    const std::size_t rows = static_cast<std::size_t>(decoder_.rec_outbuf_height);
    if (rowBytes == 0 || rows == 0) return false;
    if (!reserveRows(rowBytes, rows)) return false;
    while (decoder_.output_scanline < decoder_.output_height) {
      if (trap_.dataEnded) return true;
      jpeg_read_scanlines(&decoder_, rowPointers_.data(), static_cast<JDIMENSION>(rows));
    }
    return true;
  }

  // The output rows are grown when needed and kept: decoding one image after another does
  // not allocate.
  bool reserveRows(std::size_t rowBytes, std::size_t rows) {
    try {
      if (pixels_.size() < rowBytes * rows) pixels_.resize(rowBytes * rows);
      rowPointers_.resize(rows);
    } catch (...) {
      return false;
    }
    for (std::size_t r = 0; r < rows; ++r) rowPointers_[r] = pixels_.data() + r * rowBytes;
    return true;
  }

  ErrorTrap trap_{};
  jpeg_decompress_struct decoder_{};
  bool created_ = false;
  std::vector<JSAMPLE> pixels_;
  std::vector<JSAMPROW> rowPointers_;
};

}  // namespace

std::optional<JpegImageSize> validateJpeg(Bytes image, JpegDecodeScale scale) {
  thread_local Validator validator;
  return validator.validate(image, scale);
}

}  // namespace vellumark
