<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
    <context>
        <name>CaptureSession</name>
        <message>
            <source>%3 的 %2 个包中有 %1 个不是 %4 数据报，已跳过。</source>
            <translation>%1 of %2 packets in %3 are not %4 datagrams and were skipped.</translation>
        </message>
        <message>
            <source>IPv4 或 IPv6</source>
            <translation>IPv4 or IPv6</translation>
        </message>
    </context>
    <context>
        <name>CaptureStatus</name>
        <message>
            <source>%1 包/秒  %2/秒</source>
            <translation>%1 packets/s  %2/s</translation>
        </message>
        <message>
            <source>丢弃 %1</source>
            <translation>Dropped %1</translation>
        </message>
        <message>
            <source>捕获中 %1</source>
            <translation>Capturing %1</translation>
        </message>
        <message>
            <source>: 接口已断开，等待中</source>
            <translation>: interface down, waiting</translation>
        </message>
        <message>
            <source>已停止</source>
            <translation>Stopped</translation>
        </message>
    </context>
    <context>
        <name>HostTreeMenu</name>
        <message>
            <source>显示主机名</source>
            <translation>Show host names</translation>
        </message>
    </context>
    <context>
        <name>HostTreeModel</name>
        <message>
            <source>来源</source>
            <translation>Sources</translation>
        </message>
        <message>
            <source>目标</source>
            <translation>Destinations</translation>
        </message>
    </context>
    <context>
        <name>PacketListModel</name>
        <message>
            <source>协议</source>
            <translation>Protocol</translation>
        </message>
        <message>
            <source>原址</source>
            <translation>Source</translation>
        </message>
        <message>
            <source>目标地址</source>
            <translation>Destination</translation>
        </message>
        <message>
            <source>源端口</source>
            <translation>Src port</translation>
        </message>
        <message>
            <source>目标端口</source>
            <translation>Dest port</translation>
        </message>
        <message>
            <source>字节数</source>
            <translation>Bytes</translation>
        </message>
        <message>
            <source>时间</source>
            <translation>Time</translation>
        </message>
        <message>
            <source>程序</source>
            <translation>Program</translation>
        </message>
    </context>
    <context>
        <name>PacketViews</name>
        <message>
            <source>全部</source>
            <translation>All</translation>
        </message>
        <message>
            <source>接收</source>
            <translation>Received</translation>
        </message>
        <message>
            <source>发送</source>
            <translation>Sent</translation>
        </message>
        <message>
            <source>IP</source>
            <translation>IP</translation>
        </message>
        <message>
            <source>标签栏中已有键为“%1”的标签</source>
            <translation>the tab strip already has a tab with the key "%1"</translation>
        </message>
        <message>
            <source>Filter Name already exists!</source>
            <translation>Filter Name already exists!</translation>
        </message>
    </context>
    <context>
        <name>quillet::PacketViewWidgets</name>
        <message>
            <source>Delete Filter</source>
            <translation>Delete Filter</translation>
        </message>
    </context>
    <context>
        <name>quillet::frmConfig</name>
        <message>
            <source>设置</source>
            <translation>Settings</translation>
        </message>
        <message>
            <source>协议名称:</source>
            <translation>Port names:</translation>
        </message>
        <message>
            <source>Preferences</source>
            <translation>Preferences</translation>
        </message>
        <message>
            <source>IANA</source>
            <translation>IANA</translation>
        </message>
        <message>
            <source>Own</source>
            <translation>Own</translation>
        </message>
        <message>
            <source>Trojans</source>
            <translation>Trojans</translation>
        </message>
        <message>
            <source>确定</source>
            <translation>OK</translation>
        </message>
    </context>
    <context>
        <name>quillet::frmFiltro</name>
        <message>
            <source>Resolve</source>
            <translation>Resolve</translation>
        </message>
        <message>
            <source>筛选</source>
            <translation>Filter</translation>
        </message>
        <message>
            <source>接收</source>
            <translation>Received</translation>
        </message>
        <message>
            <source>来源 Ip:</source>
            <translation>Source IP:</translation>
        </message>
        <message>
            <source>AND</source>
            <translation>AND</translation>
        </message>
        <message>
            <source>OR</source>
            <translation>OR</translation>
        </message>
        <message>
            <source>发送</source>
            <translation>Sent</translation>
        </message>
        <message>
            <source>目标 Ip:</source>
            <translation>Dest IP:</translation>
        </message>
        <message>
            <source>确定</source>
            <translation>OK</translation>
        </message>
        <message>
            <source>Filter Name already exists!</source>
            <translation>Filter Name already exists!</translation>
        </message>
        <message>
            <source>筛选器“%1”未建立：%2</source>
            <translation>The filter "%1" was not created: %2</translation>
        </message>
        <message>
            <source>Espera...</source>
            <translation>Wait...</translation>
        </message>
        <message>
            <source>Resolver</source>
            <translation>Resolve</translation>
        </message>
    </context>
    <context>
        <name>quillet::frmInfo</name>
        <message>
            <source>关闭</source>
            <translation>Close</translation>
        </message>
    </context>
    <context>
        <name>quillet::frmMain</name>
        <message>
            <source>十六进制</source>
            <translation>Hex</translation>
        </message>
        <message>
            <source>文本</source>
            <translation>Text</translation>
        </message>
        <message>
            <source>打开捕获文件...</source>
            <translation>Open capture file...</translation>
        </message>
        <message>
            <source>保存全部数据包...</source>
            <translation>Save all packets...</translation>
        </message>
        <message>
            <source>保存所显示的数据包...</source>
            <translation>Save shown packets...</translation>
        </message>
        <message>
            <source>开始</source>
            <translation>Start</translation>
        </message>
        <message>
            <source>暂停</source>
            <translation>Pause</translation>
        </message>
        <message>
            <source>停止</source>
            <translation>Stop</translation>
        </message>
        <message>
            <source>清除</source>
            <translation>Clear</translation>
        </message>
        <message>
            <source>筛选</source>
            <translation>Filter</translation>
        </message>
        <message>
            <source>设置</source>
            <translation>Settings</translation>
        </message>
        <message>
            <source>保存</source>
            <translation>Save</translation>
        </message>
        <message>
            <source>打开</source>
            <translation>Open</translation>
        </message>
        <message>
            <source>IPv6</source>
            <translation>IPv6</translation>
        </message>
    </context>
</TS>
