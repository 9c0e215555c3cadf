#pragma once

// The main window: it holds the whole run's state, starts the run's parts in
// order when it is created, switches between its three pages with the tile
// buttons and stops the engine when it goes.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QPainter;
class TArrivalNotifier;
class TFileDL;
class TFileDropFilter;
namespace appcore {
class TPublisher;
class TUploadWatcher;
struct TDroppedFiles;
} // namespace appcore
namespace qrcode {
class TQRCodeBitmap;
}
class QLineEdit;
class QTimer;
class TBevelPanel;
class TClickLabel;
class TPageControl;
class TPictureFileDialog;
class TQRPaintBox;
class TShellFileView;
class TTileButton;

// What the window asks of the person at the desk, replaceable so that tests
// run without modal dialogs or a browser. Empty members get the real thing.
struct TMainFormHooks {
    // A simple modal message box.
    std::function<void(const QString& text)> ShowMessage;
    // The folder picker; nullopt when the user cancels.
    std::function<std::optional<QString>(const QString& caption)> PickFolder;
    // The desktop's default action on a folder, file or web address.
    std::function<void(const std::string& target)> OpenWithShell;
    // DOpen: the files to publish, or nothing when the user cancels.
    std::function<std::optional<QStringList>()> PickFilesToPublish;
    // Where the update check asks; empty means the vendor's update service.
    std::string UpdateBaseUrl;
};

class TMainForm : public QWidget {
    Q_OBJECT
  public:
    explicit TMainForm(TMainFormHooks hooks = {}, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Program-wide values.
    static constexpr const char* ProgramVersion = "3.10";
    static constexpr const char* ProgramBuild = "191006";
    static constexpr int ClientWidth = 1324;
    static constexpr int ClientHeight = 832;
    // The vendor's web host, and its address as the bottom band shows it
    // (short enough to stay clear of the support link).
    static constexpr const char* VendorHost = "www.tessary.example";
    static constexpr const char* VendorAddressText = "tessary.example";

    // Page indexes of MainPC.
    static constexpr int PhoneToPCPage = 0;
    static constexpr int PCToPhonePage = 1;
    static constexpr int WelcomePage = 2;

    // The about text shown on a double-click of the program name.
    static QString AboutText();

    // Handlers, named component + event; each takes the sender.
    void FormCreate(QObject* sender);
    void FormCloseQuery(QObject* sender, bool& canClose);
    void FormDestroy(QObject* sender);
    void BWelcomeClick(QObject* sender);
    void BPhonetoPCClick(QObject* sender);
    void BPCtoPhoneClick(QObject* sender);
    void bCloseClick(QObject* sender);
    void BOpenFolderClick(QObject* sender);
    void BBrowseClick(QObject* sender);
    void LWebsiteClick(QObject* sender);
    void LSupportClick(QObject* sender);
    void Label8DblClick(QObject* sender);
    void CheckUpdateTMTimer(QObject* sender);
    void FileCheckTimerTimer(QObject* sender);
    void BDownloadFileSelectFilesClick(QObject* sender);
    void QRPaintBox1Paint(QPainter& painter, QSize box);
    void QRPaintBox2Paint(QPainter& painter, QSize box);

    void PrepareRun();
    void ApplyVersionInfo();
    void SetupWorkspaceFolders();
    void ApplyReceiveDir();
    void UpdateNavTiles(QObject* sender);
    void OpenVendorPage(const std::string& name);
    void OpenWithShell(const std::string& path);

    // Addresses and the two connection URLs with their QR codes.
    void FillAddressList();
    void ApplyConnectionMode(const std::string& address, int mode);
    // The address picked in a QR code's menu: both direct URLs and codes
    // change; the pages, the poll and the publication stay as they are.
    void ChooseDirectAddress(const std::string& address);
    // The menu of a right-click on QRPaintBox1 (box 1) or QRPaintBox2 (box 2).
    void QRPaintBoxMenu(int box, QPoint globalPos);
    void DrawQRCode(const std::string& url, int box);
    // Writes this run's pages from the templates; throws misc::FileError when
    // the upload or download page cannot be written.
    void GeneratePages();
    void UpdateCheck();

    // Files from the phone and to the phone.
    void PublishSelectedFiles();
    // The one way files are published, whether picked in DOpen, dropped or
    // pasted: replaces the earlier publication; copies are made on a worker
    // while the window stays live, and LDownloadNote shows their progress,
    // then the count (or, when the file list cannot be written, its message
    // is shown and the note stays as it was). foldersPassedOver goes into the
    // note's tooltip.
    void PublishFiles(const QStringList& paths, int foldersPassedOver = 0);
    // Files dropped onto the PC-to-phone page or its tile.
    void FilesDropped(const appcore::TDroppedFiles& dropped, QWidget* target);
    // Ctrl+V while the PC-to-phone page shows: the files a file manager
    // copied, else copied text, published as a text file named from the clock.
    void PasteFiles();
    void PublishText(const QString& text);
    // A file landed in the receiving folder.
    void UploadArrived(const std::string& path);
    // A click on the arrival notice: the window comes up on the phone-to-PC
    // page; for a notice of one text, the text opens too.
    void ShowArrivals(const QString& textPath = {});
    void CleanUpAtExit();

    // Engine control. Outcomes are returned, never shown.
    bool RunHidden(const std::string& file, const std::string& parameters);
    bool StartEngine();
    bool StopEngine();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    friend class TestMainForm;
    friend class TestRun;
    friend class TestEndToEnd;
    friend class TestStopRequests;
    friend class TestPublish;
    friend class TestDesk;
    friend class TestArrivalNotice;

    void CreateComponents();
    void CreateTopBand();
    void CreatePhoneToPCPage(QWidget* page);
    void CreatePCToPhonePage(QWidget* page);
    void CreateWelcomePage(QWidget* page);
    void CreateBottomBand();
    void CreateTimers();
    void ConnectHandlers();
    // Accessible names and descriptions, the tab order and the focus frames.
    void DescribeForAssistiveTools();
    void CentreOnScreen();
    void SetDownloadNote(const std::string& note);
    void SetDirectUrls(const std::string& address);
    void PublishQuietly(const QStringList& paths, int foldersPassedOver);

    TMainFormHooks hooks_;
    bool destroyed_ = false;

    // ---- the run's state, in this order ----
    std::unique_ptr<qrcode::TQRCodeBitmap> QRRenderer;
    std::string UploadUrl;
    std::string DownloadUrl;
    std::vector<std::string> AdapterAddresses;
    std::vector<std::string> AdapterNames;   // the interface of each adapter address
    std::array<std::string, 10> AddressList; // short texts, slot 0 the primary address
    std::int32_t AddressCount = 0;
    std::unique_ptr<appcore::TUploadWatcher> Uploads; // SeenUploads and the scan-in-progress flag
    std::unique_ptr<appcore::TPublisher> Publication; // PublishedCopies and the file list
    std::string WorkDir;
    std::string ExeDir;
    std::string UploadPageDir;
    std::string DownloadPageDir;
    std::string DownloadDir;
    std::string UploadDir;
    std::string WebRoot;
    std::string TemplateDir;
    std::string ReceiveDir;
    std::string PrimaryAddress;
    int ConnectionMode = 0;    // of the last URL step: 1 direct, 2 relay
    std::string DirectAddress; // the address the direct URLs carry
    std::string PageKey;
    TFileDL* UpdateDownload = nullptr; // set only while the update check runs; not owned
    std::string RelayUrlTemplate;      // short text: at most 255 bytes
    // Computed once from ProgramVersion.
    std::string VersionDigits;
    // The per-user id the update request carries.
    std::string RandomSessionID;
    // LDownloadNote as it was before the copies under way.
    QString NoteBeforePublishing;

    // ---- components (owned by their Qt parents) ----
    TBevelPanel* PTop = nullptr;
    QLabel* Image2 = nullptr;
    TTileButton* BWelcome = nullptr;
    TTileButton* BPhoneToPC = nullptr;
    TTileButton* BPCtoPhone = nullptr;
    TPageControl* MainPC = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    TBevelPanel* PanelPhoneToPC = nullptr;
    TBevelPanel* PanelQR1 = nullptr;
    TQRPaintBox* QRPaintBox1 = nullptr;
    QLabel* Image3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Image5 = nullptr;
    QLabel* Label7 = nullptr;
    TShellFileView* WB = nullptr;
    TBevelPanel* Panel2 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* EPath = nullptr;
    TTileButton* BOpenFolder = nullptr;
    TTileButton* BBrowse = nullptr;
    TBevelPanel* PanelPCtoPhone = nullptr;
    QLabel* Image4 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    TTileButton* BDownloadFileSelectFiles = nullptr;
    QLabel* LDownloadNote = nullptr;
    TShellFileView* WB2 = nullptr;
    TBevelPanel* PanelQR2 = nullptr;
    TQRPaintBox* QRPaintBox2 = nullptr;
    TBevelPanel* PWelcome = nullptr;
    QWidget* PWelcomeTop = nullptr;
    QLabel* Image1 = nullptr;
    TClickLabel* Label8 = nullptr;
    QLabel* Label1 = nullptr;
    TBevelPanel* PBottom = nullptr;
    TTileButton* BClose = nullptr;
    TClickLabel* LSupport = nullptr;
    TClickLabel* LWebsite = nullptr;
    QTimer* FileCheckTimer = nullptr;
    QTimer* CheckUpdateTM = nullptr;
    QTimer* DownCheckTimer = nullptr;
    TPictureFileDialog* DOpen = nullptr; // the files to publish
    TFileDropFilter* FileDrops = nullptr;
    TArrivalNotifier* ArrivalNotices = nullptr;
    // Where pasted texts are written before they are published; gone at exit.
    std::unique_ptr<QTemporaryDir> PastedTexts;
};
