#include "app/core/PageGenerator.h"
