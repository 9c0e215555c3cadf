#pragma once

// The menu a right-click on a QR code opens: copy the code's link, and, while
// the codes carry this PC's own address and it has more than one, pick the
// address they carry (a VPN, Docker or a second link may hold the first one
// found, where the phone cannot reach it).

#include <QString>
#include <functional>
#include <vector>

class QMenu;
class QWidget;

struct TAddressChoice {
    QString address;
    QString interfaceName; // empty when no adapter carries the address
};

// What the menu offers and what its entries do.
struct TQRCodeMenuContent {
    // True while the codes carry this PC's address; a relay link has no
    // address to choose.
    bool direct = false;
    std::vector<TAddressChoice> choices; // the address list, in its order
    QString currentAddress;              // the address the codes carry now
    // What keeps phones out of this PC, in one line with what to do about
    // it (platform::PhoneBlockedNotice); empty when nothing is known to.
    QString blockedNotice;
    std::function<void()> copyLink;
    std::function<void(const QString& address)> chooseAddress;
};

// The text of an address entry: "192.168.1.5 (wlan0)", or the address alone.
QString AddressChoiceText(const TAddressChoice& choice);

// Builds the menu, named "QRCodeMenu", as a child of parent: the blocked
// notice first when there is one (an entry named "PhoneBlocked" that does
// nothing), "Copy link", and in direct mode with more than one distinct address one checkable entry
// per address, the current one checked. It deletes itself once closed.
QMenu* MakeQRCodeMenu(QWidget* parent, const TQRCodeMenuContent& content);
