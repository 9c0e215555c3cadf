#include "app/MainUnit.h"

#include "app/AccessibleControls.h"
#include "app/ArrivalNotifier.h"
#include "app/BevelPanel.h"
#include "app/ClickLabel.h"
#include "app/FileDropFilter.h"
#include "app/PageControl.h"
#include "app/PictureFileDialog.h"
#include "app/QRCodeMenu.h"
#include "app/QRPaintBox.h"
#include "app/ShellFileView.h"
#include "app/TileButton.h"
#include "app/art/ArtResources.h"
#include "app/core/ConnectionUrls.h"
#include "app/core/DroppedFiles.h"
#include "app/core/PageGenerator.h"
#include "app/core/Publisher.h"
#include "app/core/TextNote.h"
#include "app/core/UpdateCheck.h"
#include "app/core/UploadWatcher.h"
#include "app/core/Workspace.h"
#include "net/GetMIPsUnit.h"
#include "net/SyncFileLoadUnit.h"
#include "platform/platform.h"
#include "qrcode/QRCodeBitmap.h"
#include "util/MiscFuncUnit.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>

namespace {

const QColor WindowBlue(0x00, 0x8F, 0xDD);
const QColor TopBandBlue(0x00, 0x78, 0xD7);
const QColor BottomBandGrey(0x3E, 0x48, 0x53);
const QColor PanelFace(0xF0, 0xF0, 0xF0); // the desktop's default panel colour
const QColor DisabledText(0x6D, 0x6D, 0x6D);

QFont UiFont(int pixels) {
    QFont f(QStringLiteral("Segoe UI"));
    f.setPixelSize(pixels);
    return f;
}

// The semibold face itself, not a regular face made heavier.
QFont SemiboldFont(int pixels) {
    QFont f(QStringLiteral("Segoe UI Semibold"));
    f.setPixelSize(pixels);
    f.setWeight(QFont::DemiBold);
    return f;
}

// A path from Qt (dialogs, drops, the file views) as the core and the
// platform read it: Qt writes "/" on every system, the core splits at the
// platform's delimiter.
std::string NativePath(const QString& path) {
    return QDir::toNativeSeparators(path).toStdString();
}

// A label of its text's size at a place; Label is QLabel or a subclass.
template <typename Label = QLabel>
Label* MakeLabel(QWidget* parent, const char* name, const QString& text, QPoint at,
                 const QFont& font, const QColor& color) {
    auto* label = new Label(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setText(text);
    label->setFont(font);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
    label->adjustSize();
    label->move(at);
    return label;
}

// A picture drawn at its own size from the top-left corner; a picture that is
// not there shows nothing.
QLabel* MakePicture(QWidget* parent, const char* name, const QString& resource, QRect geometry) {
    auto* picture = new QLabel(parent);
    picture->setObjectName(QString::fromLatin1(name));
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picture->setPixmap(QPixmap(resource));
    picture->setGeometry(geometry);
    return picture;
}

TBevelPanel* MakePanel(QWidget* parent, const char* name, QRect geometry, const QColor& color,
                       TBevelPanel::Bevel bevel) {
    auto* panel = new TBevelPanel(parent);
    panel->setObjectName(QString::fromLatin1(name));
    panel->SetColor(color);
    panel->SetBevel(bevel);
    panel->setGeometry(geometry);
    return panel;
}

TTileButton* MakeTile(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                      const TTileScheme& scheme, const QFont& font) {
    auto* tile = new TTileButton(parent);
    tile->setObjectName(QString::fromLatin1(name));
    tile->setText(caption);
    tile->SetScheme(scheme);
    tile->setFont(font);
    tile->setGeometry(geometry);
    return tile;
}

// Fills a page with one panel, as the pages' panels are aligned to the client.
void FillWith(QWidget* page, QWidget* panel) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(panel);
}

} // namespace

TMainForm::TMainForm(TMainFormHooks hooks, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      hooks_(std::move(hooks)) {
    if (!hooks_.ShowMessage) {
        hooks_.ShowMessage = [this](const QString& text) {
            QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Tessary"),
                            QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                            QMessageBox::Ok, this);
            // Texts come from file names, errors and the update server: shown
            // as they are, never read as markup or links.
            box.setTextFormat(Qt::PlainText);
            box.exec();
        };
    }
    if (!hooks_.PickFolder) {
        hooks_.PickFolder = [this](const QString& caption) -> std::optional<QString> {
            // Read-only: the picker offers no way to make a new folder.
            const QString folder = QFileDialog::getExistingDirectory(
                this, caption, QDir::homePath(), QFileDialog::ShowDirsOnly | QFileDialog::ReadOnly);
            if (folder.isEmpty())
                return std::nullopt;
            return folder;
        };
    }
    if (!hooks_.PickFilesToPublish)
        hooks_.PickFilesToPublish = [this] { return DOpen->Choose(); };
    if (!hooks_.OpenWithShell)
        hooks_.OpenWithShell = [](const std::string& target) {
            platform::OpenWithDefaultApp(target);
        };

    InstallAccessibleControls();
    CreateComponents();
    CreateTimers();
    ConnectHandlers();
    DescribeForAssistiveTools();
    CentreOnScreen();

    // A start-up step that fails ends start-up there, with its message shown;
    // the window still comes up.
    try {
        FormCreate(this);
    } catch (const std::exception& error) {
        hooks_.ShowMessage(QString::fromUtf8(error.what()));
    }
}

TMainForm::~TMainForm() {
    if (!destroyed_)
        FormDestroy(this);
}

QString TMainForm::AboutText() {
    return QStringLiteral("Tessary v%1 build %2\r\n\r\n"
                          "Copies files between your phone and this PC over the local network. "
                          "The phone needs nothing but its web browser.\r\n\r\n%3")
        .arg(QString::fromLatin1(ProgramVersion), QString::fromLatin1(ProgramBuild),
             QString::fromLatin1(VendorHost));
}

// ------------------------------------------------------------ components ----

void TMainForm::CreateComponents() {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Tessary"));
    setFixedSize(ClientWidth, ClientHeight);
    setFont(UiFont(16));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, WindowBlue);
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);

    CreateTopBand();

    MainPC = new TPageControl(this);
    MainPC->setObjectName(QStringLiteral("MainPC"));
    MainPC->setGeometry(57, 167, 1209, 573);
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    TabSheet3 = new QWidget;
    TabSheet3->setObjectName(QStringLiteral("TabSheet3"));
    MainPC->AddPage(TabSheet1);
    MainPC->AddPage(TabSheet2);
    MainPC->AddPage(TabSheet3);
    CreatePhoneToPCPage(TabSheet1);
    CreatePCToPhonePage(TabSheet2);
    CreateWelcomePage(TabSheet3);
    // The welcome page is the active page as the window is built.
    MainPC->SetActivePageIndex(WelcomePage);

    CreateBottomBand();
    DOpen = new TPictureFileDialog(this);
    FileDrops = new TFileDropFilter([this](const appcore::TDroppedFiles& dropped,
                                           QWidget* target) { FilesDropped(dropped, target); },
                                    this);
    ArrivalNotices = new TArrivalNotifier(this);
    ArrivalNotices->setObjectName(QStringLiteral("ArrivalNotices"));
}

void TMainForm::CreateTopBand() {
    PTop = MakePanel(this, "PTop", {0, 0, ClientWidth, 145}, TopBandBlue, TBevelPanel::Bevel::None);
    Image2 =
        MakePicture(PTop, "Image2", QString::fromLatin1(tessary::art::topBand), {0, 0, 1324, 145});

    const QFont navFont = SemiboldFont(15);
    const TTileScheme light = TTileScheme::Light();
    BWelcome =
        MakeTile(PTop, "BWelcome", QStringLiteral("Welcome"), {61, 79, 180, 50}, light, navFont);
    BPhoneToPC = MakeTile(PTop, "BPhoneToPC", QStringLiteral("Phone to PC"), {256, 79, 180, 50},
                          light, navFont);
    BPCtoPhone = MakeTile(PTop, "BPCtoPhone", QStringLiteral("PC to Phone"), {447, 79, 180, 50},
                          light, navFont);
    int tag = 1;
    for (TTileButton* tile : {BWelcome, BPhoneToPC, BPCtoPhone}) {
        tile->setCheckable(true);
        tile->SetTag(tag++);
    }
}

void TMainForm::CreatePhoneToPCPage(QWidget* page) {
    using Bevel = TBevelPanel::Bevel;
    PanelPhoneToPC = MakePanel(page, "PanelPhoneToPC", {}, Qt::white, Bevel::RaisedLowered);
    FillWith(page, PanelPhoneToPC);

    PanelQR1 = MakePanel(PanelPhoneToPC, "PanelQR1", {17, 25, 385, 385}, {}, Bevel::RaisedLowered);
    QRPaintBox1 = new TQRPaintBox(PanelQR1);
    QRPaintBox1->setObjectName(QStringLiteral("QRPaintBox1"));
    QRPaintBox1->setGeometry(16, 16, 350, 350);

    const QFont labelFont = UiFont(16);
    Image3 = MakePicture(PanelPhoneToPC, "Image3",
                         QString::fromLatin1(tessary::art::scanHintPhoneToPc), {17, 424, 80, 109});
    Label4 = MakeLabel(PanelPhoneToPC, "Label4",
                       QStringLiteral("Step 1 - Scan the QR code on your phone "), {110, 444},
                       labelFont, Qt::black);
    Label6 =
        MakeLabel(PanelPhoneToPC, "Label6", QStringLiteral("using Camera or QR Code Scanner App"),
                  {110, 471}, labelFont, Qt::black);
    Image5 = MakePicture(PanelPhoneToPC, "Image5", QString::fromLatin1(tessary::art::phoneBadge),
                         {425, 33, 50, 48});
    Label7 = MakeLabel(PanelPhoneToPC, "Label7",
                       QStringLiteral("Step 2 - Select files to transfer on your phone. "
                                      "Transferred files will appear below instantly"),
                       {493, 43}, labelFont, Qt::black);

    WB = new TShellFileView(TShellFileView::Folders::Hide, PanelPhoneToPC);
    WB->setObjectName(QStringLiteral("WB"));
    WB->setGeometry(425, 96, 752, 314);

    Panel2 = MakePanel(PanelPhoneToPC, "Panel2", {425, 432, 751, 81}, {}, Bevel::RaisedLowered);
    Label5 = MakeLabel(Panel2, "Label5", QStringLiteral("Tessary File Receiving Folder: "),
                       {16, 12}, labelFont, Qt::black);
    EPath = new QLineEdit(Panel2);
    EPath->setObjectName(QStringLiteral("EPath"));
    EPath->setGeometry(16, 44, 593, 27);
    EPath->setFrame(false);
    EPath->setReadOnly(true);
    EPath->setEnabled(false);
    EPath->setFont(labelFont);
    EPath->setText(QStringLiteral("EPath"));
    QPalette pathPal = EPath->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        pathPal.setColor(group, QPalette::Base, Qt::white);
    pathPal.setColor(QPalette::Disabled, QPalette::Text, DisabledText);
    EPath->setPalette(pathPal);

    // Made after EPath, so they lie over its right end.
    const TTileScheme blue = TTileScheme::Blue();
    BOpenFolder =
        MakeTile(Panel2, "BOpenFolder", QStringLiteral("Open"), {588, 41, 72, 30}, blue, labelFont);
    BBrowse =
        MakeTile(Panel2, "BBrowse", QStringLiteral("Change"), {666, 41, 72, 30}, blue, labelFont);
    for (TTileButton* tile : {BOpenFolder, BBrowse})
        tile->SetCaptionPlacement(TTileButton::CaptionPlacement::NearTop);
}

void TMainForm::CreatePCToPhonePage(QWidget* page) {
    using Bevel = TBevelPanel::Bevel;
    PanelPCtoPhone = MakePanel(page, "PanelPCtoPhone", {}, PanelFace, Bevel::None);
    FillWith(page, PanelPCtoPhone);

    const QFont labelFont = UiFont(16);
    Image4 = MakePicture(PanelPCtoPhone, "Image4",
                         QString::fromLatin1(tessary::art::scanHintPcToPhone), {17, 24, 80, 109});
    Label2 = MakeLabel(PanelPCtoPhone, "Label2",
                       QStringLiteral("Step 1 - Scan the QR code on your phone "), {120, 48},
                       labelFont, Qt::black);
    Label3 =
        MakeLabel(PanelPCtoPhone, "Label3", QStringLiteral("using Camera or QR Code Scanner App"),
                  {120, 75}, labelFont, Qt::black);

    TTileScheme selectScheme = TTileScheme::Blue();
    selectScheme.Hover.Face = QColor(0x00, 0x93, 0xE0);
    BDownloadFileSelectFiles =
        MakeTile(PanelPCtoPhone, "BDownloadFileSelectFiles",
                 QStringLiteral("Step 2 - Click Here to Select Files to Transfer to Phone"),
                 {560, 48, 465, 50}, selectScheme, SemiboldFont(15));

    LDownloadNote = new QLabel(PanelPCtoPhone);
    LDownloadNote->setObjectName(QStringLiteral("LDownloadNote"));
    LDownloadNote->setGeometry(456, 128, 681, 59);
    LDownloadNote->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    WB2 = new TShellFileView(TShellFileView::Folders::Show, PanelPCtoPhone);
    WB2->setObjectName(QStringLiteral("WB2"));
    WB2->setGeometry(425, 193, 752, 331);

    PanelQR2 = MakePanel(PanelPCtoPhone, "PanelQR2", {17, 139, 385, 385}, {}, Bevel::RaisedLowered);
    QRPaintBox2 = new TQRPaintBox(PanelQR2);
    QRPaintBox2->setObjectName(QStringLiteral("QRPaintBox2"));
    QRPaintBox2->setGeometry(16, 16, 350, 350);
}

void TMainForm::CreateWelcomePage(QWidget* page) {
    PWelcome = MakePanel(page, "PWelcome", {}, WindowBlue, TBevelPanel::Bevel::None);
    FillWith(page, PWelcome);

    // A white line across the top of the page, whatever the page's width.
    PWelcomeTop = new QWidget(PWelcome);
    PWelcomeTop->setObjectName(QStringLiteral("PWelcomeTop"));
    PWelcomeTop->setAutoFillBackground(true);
    QPalette linePal = PWelcomeTop->palette();
    linePal.setColor(QPalette::Window, Qt::white);
    PWelcomeTop->setPalette(linePal);
    auto* layout = new QVBoxLayout(PWelcome);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    PWelcomeTop->setFixedHeight(1);
    layout->addWidget(PWelcomeTop);
    layout->addStretch();

    Image1 = MakePicture(PWelcome, "Image1", QString::fromLatin1(tessary::art::welcomeArtwork),
                         {298, 31, 566, 384});
    Label8 = MakeLabel<TClickLabel>(PWelcome, "Label8", QStringLiteral("Tessary"), {532, 421},
                                    SemiboldFont(37), Qt::white);
    Label1 = MakeLabel(
        PWelcome, "Label1",
        QStringLiteral("The Wireless, Easy, Fast and Safe Way to Copy Files Between Phone and PC"),
        {282, 477}, SemiboldFont(19), Qt::white);
}

void TMainForm::CreateBottomBand() {
    PBottom = MakePanel(this, "PBottom", {0, 763, ClientWidth, 69}, BottomBandGrey,
                        TBevelPanel::Bevel::None);
    BClose = MakeTile(PBottom, "BClose", QStringLiteral("Close"), {61, 20, 120, 37},
                      TTileScheme::Light(), SemiboldFont(16));

    QFont linkFont = UiFont(13);
    linkFont.setUnderline(true);
    LSupport = MakeLabel<TClickLabel>(PBottom, "LSupport", QStringLiteral("Technical Support"),
                                      {1077, 41}, linkFont, Qt::white);
    LWebsite = MakeLabel<TClickLabel>(PBottom, "LWebsite", QString::fromLatin1(VendorAddressText),
                                      {1200, 41}, linkFont, Qt::white);
    for (TClickLabel* link : {LSupport, LWebsite}) {
        link->setCursor(Qt::PointingHandCursor);
        link->SetLink(true);
    }
}

void TMainForm::CreateTimers() {
    auto makeTimer = [this](const char* name, int interval) {
        auto* timer = new QTimer(this);
        timer->setObjectName(QString::fromLatin1(name));
        timer->setInterval(interval);
        return timer;
    };
    FileCheckTimer = makeTimer("FileCheckTimer", 1000);
    CheckUpdateTM = makeTimer("CheckUpdateTM", 3);
    DownCheckTimer = makeTimer("DownCheckTimer", 3000);
}

void TMainForm::ConnectHandlers() {
    connect(BWelcome, &QAbstractButton::clicked, this, [this] { BWelcomeClick(BWelcome); });
    connect(BPhoneToPC, &QAbstractButton::clicked, this, [this] { BPhonetoPCClick(BPhoneToPC); });
    connect(BPCtoPhone, &QAbstractButton::clicked, this, [this] { BPCtoPhoneClick(BPCtoPhone); });
    connect(BClose, &QAbstractButton::clicked, this, [this] { bCloseClick(BClose); });
    connect(BOpenFolder, &QAbstractButton::clicked, this,
            [this] { BOpenFolderClick(BOpenFolder); });
    connect(BBrowse, &QAbstractButton::clicked, this, [this] { BBrowseClick(BBrowse); });
    connect(LWebsite, &TClickLabel::clicked, this, [this] { LWebsiteClick(LWebsite); });
    connect(LSupport, &TClickLabel::clicked, this, [this] { LSupportClick(LSupport); });
    connect(Label8, &TClickLabel::doubleClicked, this, [this] { Label8DblClick(Label8); });
    connect(CheckUpdateTM, &QTimer::timeout, this, [this] { CheckUpdateTMTimer(CheckUpdateTM); });
    connect(FileCheckTimer, &QTimer::timeout, this,
            [this] { FileCheckTimerTimer(FileCheckTimer); });
    connect(BDownloadFileSelectFiles, &QAbstractButton::clicked, this,
            [this] { BDownloadFileSelectFilesClick(BDownloadFileSelectFiles); });
    QRPaintBox1->SetPaintHandler(
        [this](QPainter& painter, QSize box) { QRPaintBox1Paint(painter, box); });
    QRPaintBox2->SetPaintHandler(
        [this](QPainter& painter, QSize box) { QRPaintBox2Paint(painter, box); });
    auto openItem = [this](const QString& path) { OpenWithShell(NativePath(path)); };
    WB->OpenHandler = openItem;
    WB2->OpenHandler = openItem;
    QRPaintBox1->SetMenuHandler([this](QPoint at) { QRPaintBoxMenu(1, at); });
    QRPaintBox2->SetMenuHandler([this](QPoint at) { QRPaintBoxMenu(2, at); });
    // Files dragged from a file manager onto the PC-to-phone page or its
    // tile; the file view's own drop handling is bypassed.
    for (QWidget* target :
         {static_cast<QWidget*>(TabSheet2), WB2->viewport(), static_cast<QWidget*>(BPCtoPhone)})
        FileDrops->Watch(target);
    auto* paste = new QShortcut(QKeySequence::Paste, this);
    paste->setObjectName(QStringLiteral("PasteFiles"));
    connect(paste, &QShortcut::activated, this, [this] { PasteFiles(); });
    // A notice only for whom the window is out of sight.
    ArrivalNotices->ShouldNotify = [this] { return isMinimized() || !isActiveWindow(); };
    connect(ArrivalNotices, &TArrivalNotifier::activated, this,
            [this](const QString& textPath) { ShowArrivals(textPath); });
}

void TMainForm::DescribeForAssistiveTools() {
    // Names where the caption alone says too little; the other tiles and the
    // labels are named by their captions. Descriptions say what a control does.
    auto describe = [](QWidget* widget, const QString& name, const QString& description) {
        if (!name.isEmpty())
            widget->setAccessibleName(name);
        widget->setAccessibleDescription(description);
    };
    describe(BWelcome, {}, QStringLiteral("Shows the welcome page"));
    describe(BPhoneToPC, {}, QStringLiteral("Shows the QR code for sending files from the phone"));
    describe(BPCtoPhone, {}, QStringLiteral("Shows the QR code and the files for the phone"));
    describe(TabSheet1, QStringLiteral("Phone to PC"), {});
    describe(TabSheet2, QStringLiteral("PC to Phone"), {});
    describe(TabSheet3, QStringLiteral("Welcome"), {});
    // The QR codes' descriptions are their addresses (DrawQRCode).
    describe(QRPaintBox1, QStringLiteral("QR code for the upload page"), {});
    describe(QRPaintBox2, QStringLiteral("QR code for the download page"), {});
    describe(WB, QStringLiteral("Received files"),
             QStringLiteral("Files from the phone, in the receiving folder. "
                            "Arrow keys choose a file, Enter opens it."));
    describe(WB2, QStringLiteral("Files for the phone"),
             QStringLiteral("The copies the phone can download. "
                            "Arrow keys choose a file, Enter opens it."));
    // The receiving folder's path is their description (ApplyReceiveDir).
    describe(EPath, QStringLiteral("Receiving folder"), {});
    describe(BOpenFolder, QStringLiteral("Open receiving folder"), {});
    describe(BBrowse, QStringLiteral("Change receiving folder"),
             QStringLiteral("Chooses another folder for the files from the phone"));
    describe(BDownloadFileSelectFiles, {},
             QStringLiteral("Chooses the files the phone can download; "
                            "Ctrl+V pastes files copied in a file manager, or copied text"));
    describe(LDownloadNote, {}, QStringLiteral("What the phone can download"));
    describe(Label8, {}, QStringLiteral("Shows the about text"));
    describe(BClose, {}, QStringLiteral("Closes Tessary and stops sharing files"));
    describe(LSupport, {}, QStringLiteral("Opens the support page in the browser"));
    describe(LWebsite, {}, QStringLiteral("Opens the Tessary web site in the browser"));
    describe(Image1,
             QStringLiteral("A paper plane above a laptop, a computer, a phone and a tablet"), {});
    for (QLabel* hint : {Image3, Image4})
        describe(hint, QStringLiteral("A hand holding a phone that shows a QR code"), {});
    describe(Image5, QStringLiteral("Phone"), {});

    // Reading order: the navigation tiles, the page shown (QR code, step 2,
    // the folder), then the bottom band. Controls of hidden pages are passed
    // over by Tab.
    const std::vector<QWidget*> order = {BWelcome,    BPhoneToPC,  BPCtoPhone,
                                         QRPaintBox1, WB,          BOpenFolder,
                                         BBrowse,     QRPaintBox2, BDownloadFileSelectFiles,
                                         WB2,         Label8,      BClose,
                                         LSupport,    LWebsite};
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);
    // The frames around the QR codes show the focus of the codes.
    PanelQR1->SetFocusFrame(true);
    PanelQR2->SetFocusFrame(true);
}

void TMainForm::CentreOnScreen() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(ClientWidth / 2, ClientHeight / 2));
    }
}

// -------------------------------------------------------- start and stop ----

void TMainForm::FormCreate(QObject*) {
    PrepareRun();
    StartEngine(); // a missing engine changes nothing that follows
    // MainPC has no tabs to hide: it never shows a tab strip.
    MainPC->SetActivePageIndex(WelcomePage);
    CheckUpdateTM->start();
    BWelcome->setChecked(true);
}

void TMainForm::PrepareRun() {
    ApplyVersionInfo();
    PageKey = workspace::MakePageKey();
    EPath->setText(QString::fromStdString(
        workspace::DefaultReceiveDir(misc::GetDocumentsFolder(), QDate::currentDate())));
    ApplyReceiveDir();
    QRRenderer = std::make_unique<qrcode::TQRCodeBitmap>();
    // What already lies complete in the upload folder is recorded, not moved.
    Uploads = std::make_unique<appcore::TUploadWatcher>();
    Uploads->OnArrival = [this](const std::string& path) { UploadArrived(path); };
    Uploads->ScanUploadFolder(UploadDir, false, [this] { return ReceiveDir; });
    Publication = std::make_unique<appcore::TPublisher>(
        DownloadDir, appcore::FileListFragmentPath(DownloadPageDir, PageKey));
    FillAddressList();
    ApplyConnectionMode(PrimaryAddress, 1);
}

void TMainForm::ApplyVersionInfo() {
    setWindowTitle(
        QStringLiteral("Tessary v%1 build %2")
            .arg(QString::fromLatin1(ProgramVersion), QString::fromLatin1(ProgramBuild)));
    VersionDigits = QString::fromLatin1(ProgramVersion).remove(u'.').toStdString();
    SetupWorkspaceFolders();
    RelayUrlTemplate.clear();
    RandomSessionID = update::LoadUpdateIdentity();
    // The link's right edge stays at x = 1300 whatever the length of its text.
    LWebsite->adjustSize();
    LWebsite->move(1300 - LWebsite->width(), LWebsite->y());
}

void TMainForm::SetupWorkspaceFolders() {
    const workspace::WorkspaceFolders f = workspace::SetupWorkspaceFolders(
        misc::GetAppDataFolder(), workspace::ExeDirOf(platform::ExecutablePath()));
    WorkDir = f.WorkDir;
    ExeDir = f.ExeDir;
    TemplateDir = f.TemplateDir;
    WebRoot = f.WebRoot;
    UploadPageDir = f.UploadPageDir;
    UploadDir = f.UploadDir;
    DownloadPageDir = f.DownloadPageDir;
    DownloadDir = f.DownloadDir;
    workspace::CreateWorkspaceFolders(f);
}

void TMainForm::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    FormCloseQuery(this, canClose);
    if (canClose)
        event->accept();
    else
        event->ignore();
}

void TMainForm::FormCloseQuery(QObject*, bool& canClose) {
    DownCheckTimer->stop();
    FileCheckTimer->stop();
    if (UpdateDownload)
        UpdateDownload->Cancel();
    canClose = true;
}

void TMainForm::FormDestroy(QObject*) {
    destroyed_ = true;
    StopEngine();
    CleanUpAtExit();
}

// ------------------------------------------------ receiving and publishing ----

void TMainForm::FileCheckTimerTimer(QObject*) {
    Uploads->TimerTick(UploadDir, [this] { return ReceiveDir; });
}

void TMainForm::BDownloadFileSelectFilesClick(QObject*) {
    PublishSelectedFiles();
}

void TMainForm::PublishSelectedFiles() {
    const std::optional<QStringList> chosen = hooks_.PickFilesToPublish();
    if (!chosen)
        return;
    PublishFiles(*chosen);
}

void TMainForm::PublishFiles(const QStringList& chosen, int foldersPassedOver) {
    WB2->SetFolder(QString::fromStdString(DownloadDir));
    std::vector<std::string> paths;
    for (const QString& path : chosen)
        paths.push_back(NativePath(path));
    LDownloadNote->setToolTip(appcore::FoldersPassedOverText(foldersPassedOver));
    // What the note said before this pick, shown again when the file list
    // cannot be written; a pick that replaces copies still under way keeps
    // the note from before those.
    if (!Publication->Publishing())
        NoteBeforePublishing = LDownloadNote->text();
    appcore::TPublisher::TObserver observer;
    observer.progress = [this](const appcore::TPublishProgress& progress) {
        SetDownloadNote(appcore::CopyingNote(progress));
    };
    observer.published = [this](int listed) { SetDownloadNote(appcore::DownloadNote(listed)); };
    observer.failed = [this](const std::string& message) {
        LDownloadNote->setText(NoteBeforePublishing);
        hooks_.ShowMessage(QString::fromUtf8(message));
    };
    Publication->StartPublishing(paths, std::move(observer));
}

void TMainForm::SetDownloadNote(const std::string& note) {
    // The note's CR LF becomes the label's line break.
    LDownloadNote->setText(
        QString::fromStdString(note).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TMainForm::PublishQuietly(const QStringList& paths, int foldersPassedOver) {
    // As the select tile does: a list that cannot be written shows its message.
    try {
        PublishFiles(paths, foldersPassedOver);
    } catch (const std::exception& error) {
        hooks_.ShowMessage(QString::fromUtf8(error.what()));
    }
}

void TMainForm::FilesDropped(const appcore::TDroppedFiles& dropped, QWidget* target) {
    if (target == BPCtoPhone)
        BPCtoPhoneClick(BPCtoPhone);
    // Only the page shown takes the files; the phone-to-PC page never does.
    if (MainPC->ActivePageIndex() != PCToPhonePage || !Publication)
        return;
    // After the drop has returned, so the file manager's drag ends at once.
    QTimer::singleShot(
        0, this, [this, dropped] { PublishQuietly(dropped.files, dropped.foldersPassedOver); });
}

void TMainForm::PasteFiles() {
    if (MainPC->ActivePageIndex() != PCToPhonePage || !Publication)
        return;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (data == nullptr)
        return;
    const appcore::TDroppedFiles pasted = appcore::FilesFromMimeData(*data);
    // Copied text (a link, an address, a note) goes as a text file; a copy of
    // folders alone is no text.
    if (pasted.files.isEmpty() && pasted.foldersPassedOver == 0 && data->hasText() &&
        appcore::HasWords(data->text())) {
        PublishText(data->text());
        return;
    }
    if (pasted.files.isEmpty()) {
        LDownloadNote->setToolTip(appcore::FoldersPassedOverText(pasted.foldersPassedOver));
        return;
    }
    PublishQuietly(pasted.files, pasted.foldersPassedOver);
}

void TMainForm::PublishText(const QString& text) {
    if (!PastedTexts)
        PastedTexts = std::make_unique<QTemporaryDir>(QString::fromStdString(
            misc::IncludeTrailingDelimiter(platform::TempFolder()) + "tessary-text-XXXXXX"));
    const auto written = PastedTexts->isValid()
                             ? appcore::WriteTextFile(
                                   misc::IncludeTrailingDelimiter(NativePath(PastedTexts->path())),
                                   text, QDateTime::currentDateTime())
                             : std::nullopt;
    if (!written) {
        hooks_.ShowMessage(QStringLiteral("The text could not be saved for the phone."));
        return;
    }
    PublishQuietly(QStringList{QString::fromStdString(*written)}, 0);
}

void TMainForm::UploadArrived(const std::string& path) {
    // Whoever looks at the window sees the file appear in WB.
    if (isMinimized() || !isActiveWindow())
        ArrivalNotices->FileArrived(QString::fromStdString(path));
}

void TMainForm::ShowArrivals(const QString& textPath) {
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
    BPhonetoPCClick(BPhoneToPC);
    if (!textPath.isEmpty())
        OpenWithShell(NativePath(textPath));
}

void TMainForm::CleanUpAtExit() {
    // Start-up that failed early has nothing to clean up.
    if (Uploads && Publication)
        appcore::CleanUpAtExit(*Uploads, *Publication, DownloadPageDir + PageKey + ".html",
                               UploadPageDir + PageKey + ".html");
    QRRenderer.reset();
}

// ------------------------------------------------------------ navigation ----

void TMainForm::BWelcomeClick(QObject* sender) {
    MainPC->SetActivePageIndex(WelcomePage);
    UpdateNavTiles(sender);
}

void TMainForm::BPhonetoPCClick(QObject* sender) {
    MainPC->SetActivePageIndex(PhoneToPCPage);
    UpdateNavTiles(sender);
}

void TMainForm::BPCtoPhoneClick(QObject* sender) {
    MainPC->SetActivePageIndex(PCToPhonePage);
    UpdateNavTiles(sender);
}

void TMainForm::UpdateNavTiles(QObject* sender) {
    const auto* tile = qobject_cast<const TTileButton*>(sender);
    const int tag = tile ? tile->Tag() : 0;
    BWelcome->setChecked(tag == 1);
    BPhoneToPC->setChecked(tag == 2);
    BPCtoPhone->setChecked(tag == 3);
}

// ------------------------------------------------------- bottom and links ----

void TMainForm::bCloseClick(QObject*) {
    close();
}

void TMainForm::BOpenFolderClick(QObject*) {
    OpenWithShell(EPath->text().toStdString());
}

void TMainForm::LWebsiteClick(QObject*) {
    OpenVendorPage("website");
}

void TMainForm::LSupportClick(QObject*) {
    OpenVendorPage("support");
}

void TMainForm::Label8DblClick(QObject*) {
    hooks_.ShowMessage(AboutText());
}

void TMainForm::OpenVendorPage(const std::string& name) {
    OpenWithShell(std::string("https://") + VendorHost + "/r/?rid=" + name +
                  "&vid=" + ProgramVersion + "&bid=" + ProgramBuild);
}

void TMainForm::OpenWithShell(const std::string& path) {
    hooks_.OpenWithShell(path);
}

void TMainForm::CheckUpdateTMTimer(QObject*) {
    CheckUpdateTM->stop();
    UpdateCheck();
}

void TMainForm::UpdateCheck() {
    update::UpdateRequest request;
    if (!hooks_.UpdateBaseUrl.empty())
        request.baseUrl = hooks_.UpdateBaseUrl;
    request.addressList.assign(AddressList.begin(), AddressList.begin() + AddressCount);
    request.versionDigits = VersionDigits;
    request.sessionId = RandomSessionID;
    request.build = ProgramBuild;
    request.pageKey = PageKey;

    update::UpdateCheckHooks checkHooks;
    checkHooks.showMessage = [this](const std::string& text) {
        hooks_.ShowMessage(QString::fromStdString(text));
    };
    checkHooks.closeWindow = [this] { close(); };
    // Relay mode is switched on even after a close request; the window is
    // only destroyed once the check has returned.
    checkHooks.switchToRelay = [this](const std::string&) { ApplyConnectionMode({}, 2); };
    update::UpdateCheck(request, checkHooks, RelayUrlTemplate, UpdateDownload);
}

// ------------------------------------------------------ addresses and URLs ----

void TMainForm::FillAddressList() {
    const net::TAddresses found = net::FillAddressList();
    PrimaryAddress = found.primaryAddress;
    AdapterAddresses = found.adapterAddresses;
    AdapterNames = found.adapterNames;
    AddressList = found.addressList.entries;
    AddressCount = found.addressList.count;
}

void TMainForm::ApplyConnectionMode(const std::string& address, int mode) {
    ConnectionMode = mode;
    if (mode == 2) {
        UploadUrl = appcore::RelayUrl(RelayUrlTemplate, "u", VersionDigits);
        DrawQRCode(UploadUrl, 1);
        DownloadUrl = appcore::RelayUrl(RelayUrlTemplate, "d", VersionDigits);
        DrawQRCode(DownloadUrl, 2);
        return;
    }
    SetDirectUrls(address);
    GeneratePages(); // an error leaves the upload poll off
    FileCheckTimer->start();
    Uploads->ClearScanInProgress();
}

void TMainForm::SetDirectUrls(const std::string& address) {
    DirectAddress = address;
    const appcore::ConnectionUrls urls = appcore::DirectUrls(address, PageKey);
    UploadUrl = urls.upload;
    DrawQRCode(UploadUrl, 1);
    DownloadUrl = urls.download;
    DrawQRCode(DownloadUrl, 2);
}

void TMainForm::ChooseDirectAddress(const std::string& address) {
    // The pages carry no address, so they are not written again: that would
    // also empty the file list of the current publication.
    if (ConnectionMode == 1)
        SetDirectUrls(address);
}

void TMainForm::QRPaintBoxMenu(int box, QPoint globalPos) {
    TQRCodeMenuContent content;
    content.direct = ConnectionMode == 1;
    content.currentAddress = QString::fromStdString(DirectAddress);
    if (content.direct) {
        // Asked afresh each time: the network or the firewall may have changed.
        if (const auto notice =
                platform::PhoneBlockedNotice(workspace::EngineProgram(WorkDir), DirectAddress))
            content.blockedNotice = QString::fromStdString(*notice);
    }
    net::TAddresses known;
    known.adapterAddresses = AdapterAddresses;
    known.adapterNames = AdapterNames;
    for (int slot = 0; slot < AddressCount; ++slot) {
        const std::string& address = AddressList[static_cast<std::size_t>(slot)];
        content.choices.push_back({QString::fromStdString(address),
                                   QString::fromStdString(net::InterfaceNameOf(known, address))});
    }
    content.copyLink = [this, box] {
        QGuiApplication::clipboard()->setText(
            QString::fromStdString(box == 2 ? DownloadUrl : UploadUrl));
    };
    content.chooseAddress = [this](const QString& address) {
        ChooseDirectAddress(address.toStdString());
    };
    MakeQRCodeMenu(this, content)->popup(globalPos);
}

void TMainForm::GeneratePages() {
    pages::GeneratePages(
        TemplateDir, {WebRoot, UploadPageDir, UploadDir, DownloadPageDir, DownloadDir}, PageKey);
}

void TMainForm::DrawQRCode(const std::string& url, int box) {
    // The code is painted from the stored URL at the box's next paint; the
    // shared renderer holds the code drawn last.
    QRRenderer->SetText(url);
    QRRenderer->Rebuild();
    TQRPaintBox* paintBox = box == 2 ? QRPaintBox2 : QRPaintBox1;
    paintBox->setToolTip(QString::fromStdString(url));
    paintBox->setAccessibleDescription(QString::fromStdString(url));
    paintBox->update();
}

void TMainForm::QRPaintBox1Paint(QPainter& painter, QSize box) {
    if (QRRenderer)
        qrcode::DrawQRCode(painter, box, *QRRenderer, UploadUrl);
}

void TMainForm::QRPaintBox2Paint(QPainter& painter, QSize box) {
    if (QRRenderer)
        qrcode::DrawQRCode(painter, box, *QRRenderer, DownloadUrl);
}

// ------------------------------------------------------ receiving folder ----

void TMainForm::ApplyReceiveDir() {
    ReceiveDir = workspace::ReceiveDirFromText(EPath->text().toStdString());
    // Read out with the path box and the Open tile, which Tab reaches.
    EPath->setAccessibleDescription(EPath->text());
    BOpenFolder->setAccessibleDescription(EPath->text());
    if (platform::CreateFolderTree(ReceiveDir)) {
        WB->SetFolder(QString::fromStdString(ReceiveDir));
    } else {
        hooks_.ShowMessage(QStringLiteral("Sorry, fail to create destination folder: \r\n") +
                           QString::fromStdString(ReceiveDir));
    }
}

void TMainForm::BBrowseClick(QObject*) {
    const std::optional<QString> folder = hooks_.PickFolder(
        QStringLiteral("Select a destination folder to save the transferred files"));
    if (!folder)
        return;
    EPath->setText(QString::fromStdString(misc::IncludeTrailingDelimiter(NativePath(*folder))));
    ApplyReceiveDir();
}

// -------------------------------------------------------- engine control ----

bool TMainForm::RunHidden(const std::string& file, const std::string& parameters) {
    return platform::RunHidden(file, parameters);
}

bool TMainForm::StartEngine() {
    return RunHidden(workspace::EngineProgram(WorkDir), workspace::EngineParameters(PageKey));
}

bool TMainForm::StopEngine() {
    const bool stopped =
        RunHidden(workspace::KillToolProgram(ExeDir), workspace::KillToolParameters());
    FileCheckTimer->stop();
    return stopped;
}
