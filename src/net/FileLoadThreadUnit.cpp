#include "net/FileLoadThreadUnit.h"
