#include "app/core/UploadWatcher.h"
