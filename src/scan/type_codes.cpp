#include "scan/type_codes.h"

namespace vellumark {

std::string_view typeCodeName(std::uint8_t code) {
  switch (code) {
    case kTypeJpegApp: return "jpeg";
    case kTypeJpegOther: return "jpeg-other";
    case kTypeGif: return "gif";
    case kTypeBmp: return "bmp";
    case kTypeOle2: return "ole2";
    case kTypeJet: return "jet-db";
    case kTypeAvi: return "avi";
    case kTypeMp3Id3: return "mp3-id3";
    case kTypePng: return "png";
    case kTypeWave: return "wave";
    case kTypeAcon: return "ani-cursor";
    case kTypeCdxa: return "cdxa";
    case kTypeAsfDeclared: return "asf";
    case kTypeTiff: return "tiff";
    case kTypeRar: return "rar";
    case kTypeZip: return "zip";
    case kTypeCab: return "cab";
    case kType7z: return "7z";
    case kTypeIsoMp4: return "mp4";
    case kTypeAsfObjects: return "asf-objects";
    case kTypeOoxml: return "ooxml";
    case kTypePdf: return "pdf";
    case kTypeIso3gp: return "3gp";
    case kTypeIsoOther: return "iso-media";
    case kTypeX3f: return "x3f";
    case kTypeRaf: return "raf";
    case kTypeCdrRiff: return "cdr-riff";
    case kTypeCdrZip: return "cdr-zip";
    case kTypeMpeg2PackZero: return "mpeg2-ps-start";
    case kTypeMpeg2PackEarly: return "mpeg2-ps";
    case kTypeMpeg1PackZero: return "mpeg1-ps-start";
    case kTypeMpeg1PackLater: return "mpeg1-ps";
    case kTypeTs192Zero: return "ts192-start";
    case kTypeTs192Later: return "ts192";
    case kTypeTs188: return "ts188";
    case kTypeFsMetadata: return "fs-metadata";
    default: return "unknown";
  }
}

}  // namespace vellumark
