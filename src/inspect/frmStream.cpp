#include "inspect/frmStream.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include "core/ReadableNumbers.h"
#include "programs/SocketOwners.h"
#include "views/ConversationsModel.h"
#include "views/PacketViews.h"

namespace quillet {

namespace {

QString EndpointText(const std::string& address, int port)
{
    const QString a = QString::fromStdString(ShownName(address));
    if (port < 0)
        return a;
    return (address.find(':') != std::string::npos ? QStringLiteral("[%1]").arg(a) : a) + QLatin1Char(':')
           + QString::number(port);
}

QColor SideColour(int side) { return side == 0 ? QColor(170, 0, 0) : QColor(0, 0, 170); }

}  // namespace

frmStream::frmStream(PacketViews& views, std::int64_t seq, QWidget* parent)
    : QWidget(parent, Qt::Window), views_(views), seq_(seq)
{
    setObjectName(QStringLiteral("frmStream"));
    setWindowTitle(tr("追踪流"));
    resize(760, 520);
    lblStreamHeader_ = new QLabel(this);
    lblStreamHeader_->setObjectName(QStringLiteral("lblStreamHeader"));
    lblStreamHeader_->setTextFormat(Qt::PlainText);
    lblStreamHeader_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblStreamHeader_->setWordWrap(true);
    txtStream_ = new QPlainTextEdit(this);
    txtStream_->setObjectName(QStringLiteral("txtStream"));
    txtStream_->setReadOnly(true);
    txtStream_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    txtStream_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    txtStream_->setUndoRedoEnabled(false);
    cboStreamSide_ = new QComboBox(this);
    cboStreamSide_->setObjectName(QStringLiteral("cboStreamSide"));
    cboStreamSide_->addItems({tr("双向"), QString(), QString()});
    cboStreamShow_ = new QComboBox(this);
    cboStreamShow_->setObjectName(QStringLiteral("cboStreamShow"));
    cboStreamShow_->addItems({tr("文本"), tr("十六进制"), tr("原始")});
    txtStreamFind_ = new QLineEdit(this);
    txtStreamFind_->setObjectName(QStringLiteral("txtStreamFind"));
    txtStreamFind_->setPlaceholderText(tr("查找"));
    auto* prev = new QPushButton(tr("上一个"), this);
    prev->setObjectName(QStringLiteral("cmdStreamFindPrev"));
    auto* next = new QPushButton(tr("下一个"), this);
    next->setObjectName(QStringLiteral("cmdStreamFindNext"));
    lblStreamBytes_ = new QLabel(this);
    lblStreamBytes_->setObjectName(QStringLiteral("lblStreamBytes"));
    lblStreamProgress_ = new QLabel(this);
    lblStreamProgress_->setObjectName(QStringLiteral("lblStreamProgress"));
    // The byte counts, which grow as the packets are read, do not set the
    // window's width (they wrap instead): a pane of megabytes of wrapped
    // text laid out again for each digit a count gains would hold the
    // window up.
    lblStreamBytes_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lblStreamBytes_->setWordWrap(true);
    lblStreamBytes_->setTextFormat(Qt::PlainText);
    lblStreamProgress_->setTextFormat(Qt::PlainText);
    auto* save = new QPushButton(tr("另存为..."), this);
    save->setObjectName(QStringLiteral("cmdStreamSave"));
    cmdStreamFilter_ = new QPushButton(tr("过滤此流"), this);
    cmdStreamFilter_->setObjectName(QStringLiteral("cmdStreamFilter"));
    cmdStreamFilter_->setEnabled(false);

    auto* choices = new QHBoxLayout;
    choices->addWidget(cboStreamSide_, 2);
    choices->addWidget(cboStreamShow_);
    choices->addWidget(txtStreamFind_, 2);
    choices->addWidget(prev);
    choices->addWidget(next);
    auto* foot = new QHBoxLayout;
    foot->addWidget(lblStreamBytes_, 1);
    foot->addWidget(lblStreamProgress_);
    foot->addWidget(save);
    foot->addWidget(cmdStreamFilter_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblStreamHeader_);
    layout->addWidget(txtStream_, 1);
    layout->addLayout(choices);
    layout->addLayout(foot);

    connect(cboStreamSide_, &QComboBox::currentIndexChanged, this, [this](int i) { ChooseSide(i); });
    connect(cboStreamShow_, &QComboBox::currentIndexChanged, this,
            [this](int i) { ChooseShow(static_cast<StreamShow>(i)); });
    connect(next, &QPushButton::clicked, this, [this] { Find(txtStreamFind_->text(), false); });
    connect(prev, &QPushButton::clicked, this, [this] { Find(txtStreamFind_->text(), true); });
    connect(txtStreamFind_, &QLineEdit::returnPressed, this, [this] { Find(txtStreamFind_->text(), false); });
    connect(save, &QPushButton::clicked, this, &frmStream::SaveWithDialog);
    connect(cmdStreamFilter_, &QPushButton::clicked, this, &frmStream::FilterOnStream);

    CaptureSpool* spool = views_.Spool();
    // The conversation index tells where the conversation lies and its number.
    ConversationSpan span;
    const Conversations& conversations = views_.Conversations();
    conversation_ = conversations.Of(seq);
    if (conversation_ != Conversations::kNone) {
        span = {conversations.FirstPacketOf(conversation_), conversations.LastPacketOf(conversation_),
                conversations.StreamOf(seq)};
        // What is stored after the span comes as it is stored.
        follower_ = std::make_unique<StreamFollower>(conversation_, views_.dPackets().at(seq), span.last);
    }
    loader_ = std::make_unique<StreamLoader>(views_.dPackets().Snapshot(), seq, spool ? spool->ReadDescriptor() : -1,
                                             spool ? spool->BytesInFile() : 0, span);
    timer_ = new QTimer(this);
    timer_->setInterval(0);
    connect(timer_, &QTimer::timeout, this, &frmStream::Tick);
    timer_->start();
    ShowStatus();
}

frmStream::~frmStream() = default;

frmStream* frmStream::Open(QPointer<frmStream>& slot, PacketViews& views, std::int64_t seq, QWidget* parent)
{
    if (slot && slot->seq_ != seq) {
        const QRect at = slot->geometry();
        delete slot.data();
        slot = new frmStream(views, seq, parent);
        slot->setGeometry(at);
    } else if (!slot) {
        slot = new frmStream(views, seq, parent);
    }
    slot->setAttribute(Qt::WA_DeleteOnClose);
    slot->show();
    slot->raise();
    slot->activateWindow();
    return slot;
}

void frmStream::Tick()
{
    QElapsedTimer clock;
    clock.start();
    const bool wasDone = loader_->Done();
    bool more = false;
    if (!wasDone && loader_->ThreadDone()) {
        // The packets not yet in the file for good, read on this thread.
        loader_->Continue(
            [this](std::int64_t seq, std::vector<std::uint8_t>& bytes, std::int64_t& tsUs) {
                return views_.DatagramOf(seq, bytes, tsUs);
            },
            std::chrono::milliseconds(2));
    } else if (wasDone) {
        const std::size_t before = pieces_.size();
        more = Follow();
        if (loaded_ && !more && pieces_.size() == before && later_.empty())
            return;  // nothing came
    }
    Take();
    ShowStatus();
    Render(std::max<int>(1, kSliceMs - static_cast<int>(clock.elapsed())));
    if (wasDone && !more && renderAt_ >= pieces_.size()) {
        loaded_ = true;
        // Slower while only following; not at all when nothing can come.
        if (follower_ && !loader_->Ended())
            timer_->setInterval(kFollowMs);
        else
            timer_->stop();
        ShowStatus();
    } else {
        loaded_ = false;
        timer_->setInterval(0);
    }
}

bool frmStream::Follow()
{
    if (!follower_)
        return false;
    bool more = false;
    if (laterAt_ >= later_.size()) {
        later_.clear();
        laterAt_ = 0;
        more = follower_->Turn(views_.Conversations(), views_.dPackets(), later_);
    }
    laterAt_ += loader_->Follow(
        std::span<const StreamLoader::Later>(later_).subspan(laterAt_),
        [this](std::int64_t seq, std::vector<std::uint8_t>& bytes, std::int64_t& tsUs) {
            return views_.DatagramOf(seq, bytes, tsUs);
        },
        std::chrono::milliseconds(2));
    Take();
    return more || laterAt_ < later_.size();
}

void frmStream::Take()
{
    std::vector<StreamPiece> more = loader_->Take();
    for (StreamPiece& piece : more)
        pieces_.push_back(std::move(piece));
}

void frmStream::Render(int budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    QTextCursor cursor(txtStream_->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    while (renderAt_ < pieces_.size() && clock.elapsed() < budgetMs) {
        const StreamPiece& piece = pieces_[renderAt_];
        if (side_ != 0 && piece.side != side_ - 1) {
            ++renderAt_;
            continue;
        }
        format.setForeground(SideColour(piece.side));
        if (piece.missing > 0) {
            format.setFontItalic(true);
            cursor.insertText(tr("[缺 %1 字节]").arg(piece.missing) + QLatin1Char('\n'), format);
            format.setFontItalic(false);
            ++renderAt_;
            continue;
        }
        const std::string_view all(piece.bytes);
        const std::string_view chunk = all.substr(renderOffset_, kChunkBytes);
        const std::size_t after = renderOffset_ + chunk.size();
        cursor.insertText(ShownStreamBytes(chunk, show_, after < all.size() && all[after] == '\n'), format);
        renderOffset_ = after;
        if (renderOffset_ >= all.size()) {
            ++renderAt_;
            renderOffset_ = 0;
        }
    }
}

void frmStream::Rerender()
{
    txtStream_->clear();
    renderAt_ = 0;
    renderOffset_ = 0;
    loaded_ = false;
    timer_->setInterval(0);
    timer_->start();
}

void frmStream::ChooseSide(int side)
{
    if (side == side_ || side < 0 || side > 2)
        return;
    side_ = side;
    if (cboStreamSide_->currentIndex() != side)
        cboStreamSide_->setCurrentIndex(side);
    Rerender();
}

void frmStream::ChooseShow(StreamShow show)
{
    if (show == show_)
        return;
    show_ = show;
    if (cboStreamShow_->currentIndex() != static_cast<int>(show))
        cboStreamShow_->setCurrentIndex(static_cast<int>(show));
    Rerender();
}

void frmStream::ShowStatus()
{
    QString header, bytes, progress;
    QString opener, other;
    bool capped = false;
    loader_->Look([&](const StreamBuilder* b) {
        if (!b) {
            progress = tr("正在查找会话的数据包...");
            return;
        }
        const ConversationPackets& p = b->Packets();
        const QString src = EndpointText(p.srcAddr, p.srcPort), dest = EndpointText(p.destAddr, p.destPort);
        opener = b->OpenerIsSource() ? src : dest;
        other = b->OpenerIsSource() ? dest : src;
        number_ = b->Number();
        protocol_ = QString::fromStdString(p.protocol).toLower();
        header = QStringLiteral("%1  %2 ⇄ %3").arg(QString::fromStdString(ShownName(p.protocol)), opener, other);
        if (number_ >= 0)
            header += QStringLiteral("  ·  ") + tr("流 %1").arg(number_);
        const StreamReassembly& s = b->Stream();
        bytes = tr("%1 → %2：%3 字节\n%2 → %1：%4 字节")
                    .arg(opener, other, QString::fromStdString(GroupedCount(s.Bytes(0))),
                         QString::fromStdString(GroupedCount(s.Bytes(1))));
        capped = s.Capped();
        if (b->Next() != 0 && b->Candidates() > 0)
            progress = tr("正在读取 %1%").arg(b->ReadCount() * 100 / b->Candidates());
    });
    if (capped)
        progress = (progress.isEmpty() ? QString() : progress + QStringLiteral("  ")) +
                   tr("只显示前 %1").arg(QString::fromStdString(ByteSizeText(StreamReassembly::kKeepBytes)));
    QString tip;
    if (conversation_ != Conversations::kNone && !header.isEmpty()) {
        // The round trip as lvConversations shows it.
        const Conversations::Conversation c = views_.Conversations().At(conversation_);
        if (c.RoundTripUs() >= 0) {
            header += QStringLiteral("  ·  ") + tr("往返 %1").arg(ConversationsModel::RoundTripText(c));
            tip = ConversationsModel::RoundTripTip(c);
        }
    }
    lblStreamHeader_->setText(header);
    lblStreamHeader_->setToolTip(tip);
    lblStreamBytes_->setText(bytes);
    lblStreamBytes_->setToolTip(bytes);
    lblStreamProgress_->setText(progress);
    if (!opener.isEmpty() && cboStreamSide_->itemText(1).isEmpty()) {
        cboStreamSide_->setItemText(1, QStringLiteral("%1 → %2").arg(opener, other));
        cboStreamSide_->setItemText(2, QStringLiteral("%1 → %2").arg(other, opener));
    }
    cmdStreamFilter_->setEnabled(!StreamFilter().isEmpty());
}

QString frmStream::StreamFilter() const
{
    if (number_ < 0 || (protocol_ != QLatin1String("tcp") && protocol_ != QLatin1String("udp")))
        return {};
    return QStringLiteral("%1.stream == %2").arg(protocol_).arg(number_);
}

void frmStream::FilterOnStream()
{
    const QString filter = StreamFilter();
    if (filter.isEmpty() || !onFilter)
        return;
    const QString why = onFilter(filter);
    if (!why.isEmpty())
        lblStreamProgress_->setText(why);
}

std::string frmStream::ChosenBytes() const
{
    std::string bytes;
    for (const StreamPiece& piece : pieces_)
        if (side_ == 0 || piece.side == side_ - 1)
            bytes += piece.bytes;
    return bytes;
}

bool frmStream::SaveTo(const QString& path, QString& error) const
{
    std::string why;
    if (SaveStreamBytes(QFile::encodeName(path).toStdString(), ChosenBytes(), why))
        return true;
    error = QString::fromStdString(why);
    return false;
}

void frmStream::SaveWithDialog()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("保存流"), QString(), tr("所有文件 (*)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!SaveTo(path, error))
        lblStreamProgress_->setText(tr("无法保存 %1：%2").arg(QString::fromStdString(ShownName(path.toStdString())), error));
}

bool frmStream::Find(const QString& text, bool backward)
{
    if (text.isEmpty())
        return false;
    const QTextDocument::FindFlags flags = backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    if (txtStream_->find(text, flags))
        return true;
    // From the other end once.
    QTextCursor cursor = txtStream_->textCursor();
    cursor.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
    txtStream_->setTextCursor(cursor);
    if (txtStream_->find(text, flags))
        return true;
    lblStreamProgress_->setText(tr("找不到 %1").arg(QString::fromStdString(ShownName(text.toStdString()))));
    return false;
}

}  // namespace quillet
