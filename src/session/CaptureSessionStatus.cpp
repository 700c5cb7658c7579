// The capture session's status panels: the capture's state, the kernel's
// drops and the rate, and what the state says of the interface, of the
// program that reads the capture and of the owners the kernel tells.
#include "session/CaptureSession.h"

#include <chrono>

#include <QCoreApplication>

#include "capture/CaptureChannel.h"

namespace quillet {

std::int64_t CaptureSession::SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CaptureSession::CheckLink(const std::string& readError)
{
    if (!source_)
        return;
    if (const std::string ended = source_->EndedWhy(); !ended.empty()) {
        EndByItself(QCoreApplication::translate("CaptureSession", "捕获已结束：捕获程序 %1 已退出。").arg(QLatin1String(channel::kProgramName))
                           + QLatin1Char('\n') + QString::fromStdString(ended));
        return;
    }
    const LinkState link = source_->Link();
    if (link == LinkState::Gone || SaysInterfaceGone(readError)) {
        const QString name = QString::fromStdString(captureInterface_);
        QString why = QCoreApplication::translate("CaptureSession", "捕获已结束：网络接口 %1 已不存在。").arg(name.isEmpty() ? captureAddress_ : name);
        if (!readError.empty())
            why += QLatin1Char('\n') + QString::fromStdString(readError);
        EndByItself(why);
        return;
    }
    if (link != link_) {
        link_ = link;
        ShowCapturingState();
    }
}

void CaptureSession::ShowCapturingState()
{
    QString text = QString::fromStdString(CapturingText(captureAddress_.toStdString(), captureInterface_, link_, answering_));
    if (ownersTold_ == OwnersTold::LookUpOnly)
        text += QCoreApplication::translate("CaptureSession", "；程序仅靠查找得出（内核未告知套接字的所有者）");
    if (ownersLost_ > 0)
        text += QCoreApplication::translate("CaptureSession", "；内核的所有者事件丢失 %1 个（缓冲区已满），这些套接字的程序靠查找得出")
                    .arg(ownersLost_);
    Show(StatusPanel::State, text);
}

void CaptureSession::ShowDrops(std::uint64_t dropped)
{
    Show(StatusPanel::Drops, dropped == 0 ? QString() : QString::fromStdString(DropsText(dropped)));
}

void CaptureSession::UpdateStatusPanels()
{
    if (!source_ || endWhy_)
        return;
    CheckLink({});
    if (!source_ || endWhy_)
        return;
    // A capture program that sent nothing for a while does not answer; its
    // counters come at a steady pace when it runs.
    if (const bool answering = source_->SilentMs() < channel::kSilentMs; answering != answering_) {
        answering_ = answering;
        ShowCapturingState();
    }
    const RateMeter::Rate rate = rate_.Sample(SteadyMs(), static_cast<std::uint64_t>(lRecvCount_), bytesRecv_);
    Show(StatusPanel::Rate, QString::fromStdString(RateText(rate)));
    const CaptureHandle::Stats st = source_->stats();
    ShowDrops(st.dropped + st.ifDropped);
    if (const std::uint64_t lost = source_->OwnerEventsLost(); lost != ownersLost_) {
        ownersLost_ = lost;
        ShowCapturingState();
    }
}

}  // namespace quillet
