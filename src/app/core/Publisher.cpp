#include "app/core/Publisher.h"
