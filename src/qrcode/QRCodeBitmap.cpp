#include "qrcode/QRCodeBitmap.h"
