#include "session/CaptureStatus.h"

#include <cstdio>

#include <QCoreApplication>

namespace quillet {

RateMeter::Rate RateMeter::Sample(std::int64_t nowMs, std::uint64_t datagrams, std::uint64_t bytes)
{
    readings_.push_back({nowMs, datagrams, bytes});
    // Keep the newest reading that is a second old or older as the base.
    while (readings_.size() > 2 && readings_[1].ms <= nowMs - 1000)
        readings_.pop_front();
    const Reading& base = readings_.front();
    const std::int64_t spanMs = nowMs - base.ms;
    if (spanMs <= 0)
        return {};
    auto perSecond = [spanMs](std::uint64_t now, std::uint64_t then) {
        return now > then ? static_cast<double>(now - then) * 1000.0 / static_cast<double>(spanMs) : 0.0;
    };
    return {perSecond(datagrams, base.datagrams), perSecond(bytes, base.bytes)};
}

std::string GroupedNumber(std::uint64_t n)
{
    std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string RateText(const RateMeter::Rate& rate)
{
    const auto datagrams = static_cast<std::uint64_t>(rate.datagrams + 0.5);
    std::string bytes;
    const double b = rate.bytes;
    if (b < 999.5) {
        bytes = std::to_string(static_cast<std::uint64_t>(b + 0.5)) + " B";
    } else {
        const char* units[] = {"KB", "MB", "GB", "TB"};
        double v = b / 1000.0;
        int u = 0;
        while (v >= 999.95 && u < 3) {
            v /= 1000.0;
            ++u;
        }
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
        bytes = buf;
    }
    return QCoreApplication::translate("CaptureStatus", "%1 包/秒  %2/秒")
        .arg(QString::fromStdString(GroupedNumber(datagrams)), QString::fromStdString(bytes))
        .toStdString();
}

std::string DropsText(std::uint64_t dropped)
{
    return QCoreApplication::translate("CaptureStatus", "丢弃 %1").arg(QString::fromStdString(GroupedNumber(dropped))).toStdString();
}

std::string CapturingText(const std::string& address, const std::string& interfaceName, LinkState link, bool answering)
{
    std::string text = QCoreApplication::translate("CaptureStatus", "捕获中 %1").arg(QString::fromStdString(address)).toStdString();
    if (!interfaceName.empty())
        text += " (" + interfaceName + ")";
    if (!answering)
        text += QCoreApplication::translate("CaptureStatus", ": 捕获程序没有回应").toStdString();
    else if (link == LinkState::Down)
        text += QCoreApplication::translate("CaptureStatus", ": 接口已断开，等待中").toStdString();
    return text;
}

std::string StoppedText()
{
    return QCoreApplication::translate("CaptureStatus", "已停止").toStdString();
}

}  // namespace quillet
