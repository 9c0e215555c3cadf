#include "qrcode/QRCodeMatrix.h"
