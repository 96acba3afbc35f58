#include "avi/fcns.h"

namespace avi {
namespace fcns {

std::unique_ptr<char[]> uint16ToChar(std::uint16_t value) {
    std::unique_ptr<char[]> out(new char[3]);
    putUint16(out.get(), value);
    out[2] = 0;
    return out;
}

std::unique_ptr<char[]> uint32ToChar(std::uint32_t value) {
    std::unique_ptr<char[]> out(new char[5]);
    putUint32(out.get(), value);
    out[4] = 0;
    return out;
}

std::unique_ptr<char[]> uint64ToChar(std::uint64_t value) {
    std::unique_ptr<char[]> out(new char[9]);
    putUint64(out.get(), value);
    out[8] = 0;
    return out;
}

}  // namespace fcns
}  // namespace avi
