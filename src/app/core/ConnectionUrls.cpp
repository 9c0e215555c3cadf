#include "app/core/ConnectionUrls.h"
