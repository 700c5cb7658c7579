// The tabs under the list and the filter registry their filter tabs use.
#include <QCoreApplication>

#include "views/ListPresenter.h"

namespace quillet {

namespace {

std::string Utf8(const QString& s)
{
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

void ListPresenter::MakeBuiltInTabs()
{
    tabs_ = {
        {QString(), QCoreApplication::translate("PacketViews", "全部"), 7},
        {QString(), QCoreApplication::translate("PacketViews", "接收"), 12},
        {QString(), QCoreApplication::translate("PacketViews", "发送"), 4},
        {QString(), QCoreApplication::translate("PacketViews", "IP"), 8},
    };
    tabFilter = [this] { return SelectedFilter(); };
}

void ListPresenter::SelectTab(int tab)
{
    tab_ = tab;
    selectedKey_ = tab >= kFirstFilterTab && tab <= TabCount() ? Utf8(TabAt(tab).key) : std::string();
}

int ListPresenter::TabIndexOfKey(const QString& key) const
{
    for (int i = kFirstFilterTab; i <= TabCount(); ++i)
        if (TabAt(i).key == key)
            return i;
    return 0;
}

const cFilter* ListPresenter::SelectedFilter()
{
    const std::shared_ptr<const cFilter>* filter = dFiltro.find(selectedKey_);
    cF = filter ? *filter : nullptr;
    return cF.get();
}

QString ListPresenter::AppendFilterTab(const QString& name)
{
    if (TabIndexOfKey(name) != 0)
        return QCoreApplication::translate("PacketViews", "标签栏中已有键为“%1”的标签").arg(name);
    tabs_.push_back({name, name, 0});
    if (onTabAppended)
        onTabAppended(name);
    return {};
}

QString ListPresenter::AddFilter(const QString& name, std::shared_ptr<const cFilter> filter)
{
    const std::string key = Utf8(name);
    if (dFiltro.exists(key))
        return QCoreApplication::translate("PacketViews", "Filter Name already exists!");
    QString refusal = AppendFilterTab(name);
    if (!refusal.isEmpty())
        return refusal;
    dFiltro.assign(key, filter);
    cF = std::move(filter);
    return {};
}

int ListPresenter::TabAfterDeleting(int index) const
{
    return index < TabCount() ? index : index - 1;
}

int ListPresenter::DeleteSelectedFilterTab()
{
    const int index = SelectedTab();
    if (index < kFirstFilterTab || index > TabCount())
        return 0;
    const std::string key = Utf8(TabAt(index).key);
    const std::shared_ptr<const cFilter>* filter = dFiltro.find(key);
    if (filter && cF == *filter)
        cF = nullptr;
    dFiltro.remove(key);
    const int next = TabAfterDeleting(index);
    tabs_.erase(tabs_.begin() + (index - 1));
    return next;
}

}  // namespace quillet
