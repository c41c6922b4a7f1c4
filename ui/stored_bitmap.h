// Reading a stored bitmap file (the banner picture carried in the program) into an image.
#pragma once

#include <QByteArray>
#include <QImage>

namespace kestrel::ui {

// Decodes an uncompressed 24-bit bitmap file: the 14-byte file header (its offset field gives
// where the pixel rows start), a 40-byte (or larger) info header, then rows of
// (24 x width rounded up to 32 bits) bytes, bottom-up unless the height is negative. Anything
// else — another depth, compression, a size that does not fit the data — gives a null image.
QImage DecodeStoredBitmap(const QByteArray& file);

}  // namespace kestrel::ui
