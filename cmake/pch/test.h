// Precompiled for the test binaries: the widgets set and GoogleTest.
#pragma once

#include "cmake/pch/widgets.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>
