// The verdict sounds, made at build time (tone_generator.cpp) and built into the executable.
#pragma once

#include <QUrl>

namespace kestrel::resources {

// qrc:/sounds/pass.wav: two short rising tones.
QUrl PassSoundUrl();
// qrc:/sounds/fail.wav: three low buzzes.
QUrl FailSoundUrl();

}  // namespace kestrel::resources
