#include "app/QRCodeMenu.h"

#include <QActionGroup>
#include <QMenu>
#include <QSet>

QString AddressChoiceText(const TAddressChoice& choice) {
    if (choice.interfaceName.isEmpty())
        return choice.address;
    return QStringLiteral("%1 (%2)").arg(choice.address, choice.interfaceName);
}

QMenu* MakeQRCodeMenu(QWidget* parent, const TQRCodeMenuContent& content) {
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("QRCodeMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);

    if (!content.blockedNotice.isEmpty()) {
        // Shown, not chosen: disabled, so a click closes nothing by surprise.
        // Its "&" (as in "Network & Internet") is text, not a mnemonic mark.
        QAction* notice =
            menu->addAction(QString(content.blockedNotice).replace(u'&', QStringLiteral("&&")));
        notice->setObjectName(QStringLiteral("PhoneBlocked"));
        notice->setEnabled(false);
        menu->addSeparator();
    }
    QAction* copy = menu->addAction(QStringLiteral("Copy link"));
    copy->setObjectName(QStringLiteral("CopyLink"));
    QObject::connect(copy, &QAction::triggered, menu, [copyLink = content.copyLink] {
        if (copyLink)
            copyLink();
    });
    if (!content.direct)
        return menu;

    // Two interfaces can carry the same address; it is offered once.
    std::vector<TAddressChoice> distinct;
    QSet<QString> seen;
    for (const TAddressChoice& choice : content.choices) {
        if (!choice.address.isEmpty() && !seen.contains(choice.address)) {
            seen.insert(choice.address);
            distinct.push_back(choice);
        }
    }
    if (distinct.size() < 2)
        return menu;

    menu->addSeparator();
    auto* group = new QActionGroup(menu);
    for (const TAddressChoice& choice : distinct) {
        QAction* entry = menu->addAction(AddressChoiceText(choice));
        entry->setObjectName(QStringLiteral("Address ") + choice.address);
        entry->setCheckable(true);
        entry->setChecked(choice.address == content.currentAddress);
        group->addAction(entry);
        QObject::connect(entry, &QAction::triggered, menu,
                         [choose = content.chooseAddress, address = choice.address] {
                             if (choose)
                                 choose(address);
                         });
    }
    return menu;
}
