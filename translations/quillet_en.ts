<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
    <context>
        <name>CaptureSession</name>
        <message>
            <source>内存已耗尽</source>
            <translation>memory ran out</translation>
        </message>
        <message>
            <source>工作捕获文件无法再写入（%1）</source>
            <translation>the working capture file cannot take more (%1)</translation>
        </message>
        <message>
            <source>捕获已自行停止：%1。已存储的 %2 个包会保留，可以查看；请保存（Ctrl+S），释放内存或磁盘空间，然后重新开始。</source>
            <translation>The capture stopped by itself: %1. The %2 packets stored are kept and can be viewed; save them (Ctrl+S), free memory or disk space, and start again.</translation>
        </message>
        <message>
            <source>无法打开 %1：它是文件夹，不是捕获文件。</source>
            <translation>%1 cannot be opened: it is a folder, not a capture file.</translation>
        </message>
        <message>
            <source>无法打开 %1：它不是普通文件（而是管道、设备或套接字）。</source>
            <translation>%1 cannot be opened: it is not a regular file (a pipe, a device or a socket).</translation>
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
        <name>LeftCapturePrompt</name>
        <message>
            <source>Quillet 上次运行时未关闭窗口就结束了，留下了 %1 个捕获的包（%2 至 %3）。要打开它们吗？无论选择哪项，留下的内容都会被删除。</source>
            <translation>An earlier run of Quillet ended without closing its window. It left %1 captured packets, from %2 to %3. Open them? Either way, what it left is removed.</translation>
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
        <name>StoreBudget</name>
        <message>
            <source>%1 所在文件系统的剩余空间已不足 %2</source>
            <translation>less than %2 remain free on the file system of %1</translation>
        </message>
        <message>
            <source>程序的内存用量已达上限 %1</source>
            <translation>the program&apos;s memory use reached its limit of %1</translation>
        </message>
        <message>
            <source>程序的内存用量已达上限 %1（其控制组内存上限 %2 的 %3%）</source>
            <translation>the program&apos;s memory use reached its limit of %1 (%3 % of its control group&apos;s limit of %2)</translation>
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
    </context>
</TS>
