#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QPointer>
#include <QString>
#include <QWidget>

#include "inspect/StreamFollower.h"
#include "inspect/StreamLoader.h"
#include "inspect/StreamText.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace quillet {

class PacketViews;

// The stream window: the conversation of one stored packet, its payloads
// in order in txtStream (read-only), the side that opened it in one colour
// and the other in another. Controls (objectName): lblStreamHeader
// (protocol, endpoints, number, round trip), txtStream, cboStreamSide (both
// directions, or one), cboStreamShow (text, hex dump, raw), txtStreamFind
// with cmdStreamFindPrev and cmdStreamFindNext, lblStreamBytes (each
// direction's byte count), lblStreamProgress, cmdStreamSave (the chosen
// direction's raw bytes) and cmdStreamFilter.
//
// The packets are read by a StreamLoader; the pane is filled in slices of
// at most kSliceMs per turn of the event loop. Once all is shown the window
// follows its conversation every kFollowMs: the packets of it stored since
// (a StreamFollower finds them) are read and shown the same way. The round
// trip in the header is the conversation index's, as lvConversations shows
// it (its tool tip the handshake's two parts).
class frmStream : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSliceMs = 5;
    static constexpr int kChunkBytes = 16384;  // a multiple of the dump's 16
    static constexpr int kFollowMs = 100;

    frmStream(PacketViews& views, std::int64_t seq, QWidget* parent = nullptr);
    ~frmStream() override;

    // Opens the window for packet seq in slot (replacing the conversation
    // it showed), shows and raises it.
    static frmStream* Open(QPointer<frmStream>& slot, PacketViews& views, std::int64_t seq, QWidget* parent);

    // Puts a display filter in force; returns why it could not, empty when it did.
    std::function<QString(const QString& filter)> onFilter;
    // The filter that shows this conversation ("tcp.stream == 3"), empty
    // until its number is known.
    QString StreamFilter() const;
    // Everything read and shown (packets stored since, once followed, too).
    bool Loaded() const { return loaded_; }
    // 0 both directions, 1 the opener's, 2 the other's.
    void ChooseSide(int side);
    void ChooseShow(StreamShow show);
    // The raw bytes of the chosen direction(s) as kept.
    std::string ChosenBytes() const;
    bool SaveTo(const QString& path, QString& error) const;
    bool Find(const QString& text, bool backward);

private:
    void Tick();
    // Reads the packets of the conversation stored since the last turn (as
    // many as a slice takes); true when more wait.
    bool Follow();
    void Take();
    void Render(int budgetMs);
    void Rerender();
    void ShowStatus();
    void SaveWithDialog();
    void FilterOnStream();

    PacketViews& views_;
    std::int64_t seq_;
    std::unique_ptr<StreamLoader> loader_;
    std::uint32_t conversation_;  // the index's (Conversations::At), kNone when it has none
    std::unique_ptr<StreamFollower> follower_;
    std::vector<StreamLoader::Later> later_;  // found by the follower, not read yet from laterAt_
    std::size_t laterAt_ = 0;
    std::vector<StreamPiece> pieces_;
    std::size_t renderAt_ = 0;      // the piece being shown
    std::size_t renderOffset_ = 0;  // its bytes shown so far
    int side_ = 0;
    StreamShow show_ = StreamShow::Text;
    bool loaded_ = false;
    std::int64_t number_ = -1;
    QString protocol_;  // "tcp" or "udp" once the packets are found
    QTimer* timer_ = nullptr;
    QLabel* lblStreamHeader_ = nullptr;
    QPlainTextEdit* txtStream_ = nullptr;
    QComboBox* cboStreamSide_ = nullptr;
    QComboBox* cboStreamShow_ = nullptr;
    QLineEdit* txtStreamFind_ = nullptr;
    QLabel* lblStreamBytes_ = nullptr;
    QLabel* lblStreamProgress_ = nullptr;
    QPushButton* cmdStreamFilter_ = nullptr;
};

}  // namespace quillet
