#pragma once

// The capture files this program writes: files saved for the user and the working file of a run.
#include "core/CaptureFileWriter.h"
#include "core/CaptureSpool.h"
