#include "app/core/UpdateCheck.h"
