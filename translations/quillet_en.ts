<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
    <context>
        <name>CaptureFile</name>
        <message>
            <source>捕获文件已关闭</source>
            <translation>The capture file is closed</translation>
        </message>
        <message>
            <source>数据包超过 %1 字节</source>
            <translation>Packet longer than %1 bytes</translation>
        </message>
        <message>
            <source>读取超出了捕获文件的末尾</source>
            <translation>Read beyond the end of the capture file</translation>
        </message>
        <message>
            <source>捕获文件比预期的短</source>
            <translation>The capture file is shorter than expected</translation>
        </message>
    </context>
    <context>
        <name>CaptureReason</name>
        <message>
            <source>捕获程序无法限制自己的系统调用（%1）。</source>
            <translation>The capture program cannot confine its system calls (%1).</translation>
        </message>
        <message>
            <source>本用户已有 %1 个捕获程序在运行，这是上限；请先停止另一个捕获。</source>
            <translation>This user already runs %1 capture programs, the most allowed; stop another capture first.</translation>
        </message>
        <message>
            <source>描述符 3 上的通道应是 Unix 流套接字（SOCK_STREAM），而它是 %1；应由窗口启动。</source>
            <translation>The channel on descriptor 3 must be a Unix stream socket (SOCK_STREAM), but it is %1; the window starts this program.</translation>
        </message>
        <message>
            <source>捕获需要 root 权限，或授予本程序 CAP_NET_RAW：sudo setcap cap_net_raw+ep %1（make run 会完成此步）。（%2）</source>
            <translation>Capturing needs root, or the program granted CAP_NET_RAW: sudo setcap cap_net_raw+ep %1 (make run does it). (%2)</translation>
        </message>
        <message>
            <source>“%1”既不是 IPv4 地址，也不是已知的主机名。</source>
            <translation>"%1" is not an IPv4 address or a known host name.</translation>
        </message>
        <message>
            <source>没有网络接口带有地址 %1。</source>
            <translation>No network interface carries the address %1.</translation>
        </message>
        <message>
            <source>网络接口 %1 拒绝了混杂模式：%2</source>
            <translation>Promiscuous mode was refused on %1: %2</translation>
        </message>
        <message>
            <source>无法在 %1 上捕获：%2</source>
            <translation>Cannot capture on %1: %2</translation>
        </message>
        <message>
            <source>网络接口 %1 的链路类型本程序无法读取（%2）。</source>
            <translation>Interface %1 has a link type this program cannot read (%2).</translation>
        </message>
        <message>
            <source>无法建立 IPv4 过滤器：%1</source>
            <translation>Cannot build the IPv4 filter: %1</translation>
        </message>
        <message>
            <source>无法设置 IPv4 过滤器：%1</source>
            <translation>Cannot set the IPv4 filter: %1</translation>
        </message>
        <message>
            <source>该捕获没有可监视的描述符。</source>
            <translation>The capture offers no descriptor to watch.</translation>
        </message>
        <message>
            <source>捕获程序 %1 未在 %2 秒内打开捕获。</source>
            <translation>The capture program %1 did not open the capture within %2 s.</translation>
        </message>
        <message>
            <source>捕获程序 %1 在打开捕获之前已结束（%2）。</source>
            <translation>The capture program %1 ended before opening the capture (%2).</translation>
        </message>
        <message>
            <source>捕获程序 %1 的回答不是捕获程序会说的话。</source>
            <translation>The capture program %1 answered what no capture program says.</translation>
        </message>
        <message>
            <source>捕获程序 %1 不存在。make run 会建立它并授予它捕获权限。</source>
            <translation>The capture program %1 is missing. make run builds it and grants it the capture right.</translation>
        </message>
        <message>
            <source>无法启动捕获程序 %1（%2）。由本用户运行 make run 可使它归 root 所有、只由本用户的组运行：sudo chown root:$(id -gn) %1 &amp;&amp; sudo chmod 0750 %1 &amp;&amp; sudo setcap cap_net_raw+ep %1</source>
            <translation>The capture program %1 cannot be started (%2). make run, run by this user, makes it root's, run by this user's group only: sudo chown root:$(id -gn) %1 &amp;&amp; sudo chmod 0750 %1 &amp;&amp; sudo setcap cap_net_raw+ep %1</translation>
        </message>
        <message>
            <source>网络接口名称应有 1 到 %1 个字符。</source>
            <translation>An interface name has 1 to %1 characters.</translation>
        </message>
        <message>
            <source>没有名为“%1”的网络接口。</source>
            <translation>No network interface is called "%1".</translation>
        </message>
        <message>
            <source>内核环形缓冲区可取 1 到 %1 MiB，而不是“%2”。</source>
            <translation>The kernel ring takes 1 to %1 MiB, not "%2".</translation>
        </message>
        <message>
            <source>启动时没有通道（描述符 3 上的套接字）；应由窗口启动。</source>
            <translation>Started without its channel (a socket on descriptor 3); the window starts it.</translation>
        </message>
        <message>
            <source>捕获程序在打开后未能放弃其权限。</source>
            <translation>The capture program could not give up its rights after opening.</translation>
        </message>
        <message>
            <source>协议族应为 %1（IPv4）或 %2（IPv4 和 IPv6），而不是“%3”。</source>
            <translation>The families are %1 (IPv4) or %2 (IPv4 and IPv6), not "%3".</translation>
        </message>
        <message>
            <source>用法：%1 INTERFACE RING_MIB %2|%3，窗口的通道在描述符 3 上；别无其他参数。</source>
            <translation>Usage: %1 INTERFACE RING_MIB %2|%3, with the window's channel on descriptor 3; nothing more.</translation>
        </message>
        <message>
            <source>捕获程序无法建立与窗口共享的内存（%1）。</source>
            <translation>The capture program could not make the memory it shares with the window (%1).</translation>
        </message>
    </context>
    <context>
        <name>CaptureSession</name>
        <message>
            <source>；程序仅靠查找得出（内核未告知套接字的所有者）</source>
            <translation>; programs are found by look-up only (the kernel does not tell the owners of sockets)</translation>
        </message>
        <message>
            <source>；内核的所有者事件丢失 %1 个（缓冲区已满），这些套接字的程序靠查找得出</source>
            <translation>; %1 owner events of the kernel lost (its buffer was full), programs of those sockets are found by look-up</translation>
        </message>
        <message>
            <source>捕获程序 %1 没有回应，已将它结束：内核中还有 %2 个数据包未交出，已丢失。</source>
            <translation>The capture program %1 did not answer and was ended: %2 packets the kernel still held were not handed over and are lost.</translation>
        </message>
        <message>
            <source>工作捕获文件已无法再写入（%1）</source>
            <translation>the working capture file cannot take more (%1)</translation>
        </message>
        <message>
            <source>T5 or Higher!</source>
            <translation>T5 or Higher!</translation>
        </message>
        <message>
            <source>无法在 %1 中建立工作捕获文件：%2。无法开始捕获；请用 QUILLET_CAPTURE_DIR 另选一个目录。</source>
            <translation>The working capture file cannot be made in %1: %2. No capture can start; choose another directory with QUILLET_CAPTURE_DIR.</translation>
        </message>
        <message>
            <source>捕获已自行停止：%1。已存储的 %2 个数据包均已保留，可以查看；请保存（Ctrl+S），释放内存或磁盘空间，然后重新开始。</source>
            <translation>The capture stopped by itself: %1. The %2 packets stored are kept and can be viewed; save them (Ctrl+S), free memory or disk space, and start again.</translation>
        </message>
        <message>
            <source>捕获已结束：捕获程序 %1 已退出。</source>
            <translation>The capture has ended: the capture program %1 exited.</translation>
        </message>
        <message>
            <source>捕获已结束：网络接口 %1 已不存在。</source>
            <translation>The capture has ended: the network interface %1 no longer exists.</translation>
        </message>
        <message>
            <source>内存不足</source>
            <translation>memory ran out</translation>
        </message>
        <message>
            <source>正在捕获。请先停止捕获，再打开捕获文件。</source>
            <translation>A capture is running. Stop it before opening a capture file.</translation>
        </message>
        <message>
            <source>另一个捕获文件正在读取或写入。</source>
            <translation>Another capture file is being read or written.</translation>
        </message>
        <message>
            <source>无法将 %1 作为捕获文件打开：%2。</source>
            <translation>%1 cannot be opened as a capture file: %2.</translation>
        </message>
        <message>
            <source>读取 %1 已停止：%2</source>
            <translation>Reading %1 stopped: %2</translation>
        </message>
        <message>
            <source>读取 %1 已停止：%2。此前读取的 %3 个数据报均已保留，可以查看；请保存（Ctrl+S），释放内存或磁盘空间，然后重新打开该文件。</source>
            <translation>Reading %1 stopped: %2. The %3 datagrams read before are kept and can be viewed; save them (Ctrl+S), free memory or disk space, and open the file again.</translation>
        </message>
        <message>
            <source>读取 %1 在 %2 个数据包后已取消；已读取的 %3 个数据报均已保留。</source>
            <translation>Reading %1 was cancelled after %2 packets; the %3 datagrams read are kept.</translation>
        </message>
        <message>
            <source>读取 %1 在第 %2 个数据包后停止%3：%4。此前读取的 %5 个数据报均已保留。</source>
            <translation>Reading %1 stopped after packet %2%3: %4. The %5 datagrams read before are kept.</translation>
        </message>
        <message>
            <source>（第 %1 字节处）</source>
            <translation>, at byte %1</translation>
        </message>
        <message>
            <source>无法写入 %1：%2。</source>
            <translation>%1 cannot be written: %2.</translation>
        </message>
        <message>
            <source>无法保存到 %1：它是文件夹。未写入任何内容。</source>
            <translation>Cannot save to %1: it is a folder. Nothing was written.</translation>
        </message>
        <message>
            <source>无法保存到 %1：它不是普通文件（而是管道、设备或套接字，或指向它们的链接），只有普通文件才会被替换。未写入任何内容。</source>
            <translation>Cannot save to %1: it is not a regular file (a pipe, a device or a socket, or a link to one); only a regular file is replaced. Nothing was written.</translation>
        </message>
        <message>
            <source>保存 %1 已取消；未写入任何文件。</source>
            <translation>Saving %1 was cancelled; no file was written.</translation>
        </message>
        <message>
            <source>保存 %1 失败：%2。未写入任何文件。</source>
            <translation>Saving %1 failed: %2. No file was written.</translation>
        </message>
        <message>
            <source>%3 的 %2 个包中有 %1 个不是 %4 数据报，已跳过。</source>
            <translation>%1 of %2 packets in %3 are not %4 datagrams and were skipped.</translation>
        </message>
        <message>
            <source>IPv4 或 IPv6</source>
            <translation>IPv4 or IPv6</translation>
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
            <source>: 捕获程序没有回应</source>
            <translation>: the capture program does not answer</translation>
        </message>
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
        <name>ConversationsModel</name>
        <message>
            <source>协议</source>
            <translation>Protocol</translation>
        </message>
        <message>
            <source>流</source>
            <translation>Stream</translation>
        </message>
        <message>
            <source>地址 A</source>
            <translation>Address A</translation>
        </message>
        <message>
            <source>端口 A</source>
            <translation>Port A</translation>
        </message>
        <message>
            <source>地址 B</source>
            <translation>Address B</translation>
        </message>
        <message>
            <source>端口 B</source>
            <translation>Port B</translation>
        </message>
        <message>
            <source>A→B 包</source>
            <translation>Packets A→B</translation>
        </message>
        <message>
            <source>A→B 字节</source>
            <translation>Bytes A→B</translation>
        </message>
        <message>
            <source>B→A 包</source>
            <translation>Packets B→A</translation>
        </message>
        <message>
            <source>B→A 字节</source>
            <translation>Bytes B→A</translation>
        </message>
        <message>
            <source>开始</source>
            <translation>Start</translation>
        </message>
        <message>
            <source>时长</source>
            <translation>Duration</translation>
        </message>
        <message>
            <source>程序</source>
            <translation>Program</translation>
        </message>
        <message>
            <source>往返</source>
            <translation>Round trip</translation>
        </message>
        <message>
            <source>SYN 到 SYN/ACK：%1
SYN/ACK 到 ACK：%2</source>
            <translation>SYN to SYN/ACK: %1
SYN/ACK to ACK: %2</translation>
        </message>
        <message>
            <source>查询到应答：%1</source>
            <translation>Query to answer: %1</translation>
        </message>
    </context>
    <context>
        <name>DisplayFilter</name>
        <message>
            <source>第 %1 个字符：%2</source>
            <translation>Character %1: %2</translation>
        </message>
        <message>
            <source>未知的字段“%1”</source>
            <translation>unknown field "%1"</translation>
        </message>
        <message>
            <source>缺少字段或“(”</source>
            <translation>a field or "(" is missing</translation>
        </message>
        <message>
            <source>此处应为字段，而不是“%1”</source>
            <translation>a field is expected here, not "%1"</translation>
        </message>
        <message>
            <source>缺少值</source>
            <translation>a value is missing</translation>
        </message>
        <message>
            <source>此处应为值，而不是“%1”</source>
            <translation>a value is expected here, not "%1"</translation>
        </message>
        <message>
            <source>多余的“%1”：缺少“and”或“or”</source>
            <translation>"%1" is out of place: "and" or "or" is missing</translation>
        </message>
        <message>
            <source>“(”没有对应的“)”</source>
            <translation>"(" has no matching ")"</translation>
        </message>
        <message>
            <source>“)”没有对应的“(”</source>
            <translation>")" has no matching "("</translation>
        </message>
        <message>
            <source>“{”没有对应的“}”</source>
            <translation>"{" has no matching "}"</translation>
        </message>
        <message>
            <source>“in”之后应为“{”</source>
            <translation>"{" is expected after "in"</translation>
        </message>
        <message>
            <source>空的集合</source>
            <translation>the set is empty</translation>
        </message>
        <message>
            <source>“%1”不能与值比较</source>
            <translation>"%1" cannot be compared with a value</translation>
        </message>
        <message>
            <source>运算符“%1”不适用于“%2”</source>
            <translation>the operator "%1" does not apply to "%2"</translation>
        </message>
        <message>
            <source>“%1”不是数字</source>
            <translation>"%1" is not a number</translation>
        </message>
        <message>
            <source>%1 超出范围（%2 至 %3）</source>
            <translation>%1 is out of range (%2 to %3)</translation>
        </message>
        <message>
            <source>“%1”不是 IPv4 地址</source>
            <translation>"%1" is not an IPv4 address</translation>
        </message>
        <message>
            <source>“%1”不是 IPv6 地址</source>
            <translation>"%1" is not an IPv6 address</translation>
        </message>
        <message>
            <source>“%1”不是地址</source>
            <translation>"%1" is not an address</translation>
        </message>
        <message>
            <source>“%1”超出地址范围</source>
            <translation>"%1" is out of the address range</translation>
        </message>
        <message>
            <source>前缀长度 %1 超出范围（0 至 %2）</source>
            <translation>the prefix length %1 is out of range (0 to %2)</translation>
        </message>
        <message>
            <source>正则表达式无效：%1</source>
            <translation>bad regular expression: %1</translation>
        </message>
        <message>
            <source>引号没有结束</source>
            <translation>the quotation mark is not closed</translation>
        </message>
        <message>
            <source>无效的转义“%1”</source>
            <translation>bad escape "%1"</translation>
        </message>
        <message>
            <source>“%1”不是字节序列（如 47:45:54）</source>
            <translation>"%1" is not a byte sequence (such as 47:45:54)</translation>
        </message>
        <message>
            <source>范围的起点大于终点</source>
            <translation>the range starts after its end</translation>
        </message>
        <message>
            <source>范围只适用于数字和地址</source>
            <translation>ranges are for numbers and addresses only</translation>
        </message>
        <message>
            <source>范围的两端应为同一族的单个地址</source>
            <translation>the ends of a range must be single addresses of one family</translation>
        </message>
        <message>
            <source>无效的字符“%1”</source>
            <translation>unexpected character "%1"</translation>
        </message>
    </context>
    <context>
        <name>FileProgress</name>
        <message>
            <source>取消</source>
            <translation>Cancel</translation>
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
        <name>PortDatabases</name>
        <message>
            <source>目录</source>
            <translation>a directory</translation>
        </message>
        <message>
            <source>FIFO</source>
            <translation>a FIFO</translation>
        </message>
        <message>
            <source>字符设备</source>
            <translation>a character device</translation>
        </message>
        <message>
            <source>块设备</source>
            <translation>a block device</translation>
        </message>
        <message>
            <source>套接字</source>
            <translation>a socket</translation>
        </message>
        <message>
            <source>特殊文件</source>
            <translation>not a plain file</translation>
        </message>
        <message>
            <source>是%1，不是普通文件；已跳过</source>
            <translation>is %1, not a regular file; skipped</translation>
        </message>
        <message>
            <source>有 %1 字节，超过端口文件允许的 %2 MiB；已跳过</source>
            <translation>is %1 bytes, more than the %2 MiB a port file may have; skipped</translation>
        </message>
        <message>
            <source>无法读取：%1</source>
            <translation>cannot be read: %1</translation>
        </message>
        <message>
            <source>读取时增长超过端口文件允许的 %1 MiB；已跳过</source>
            <translation>grew past the %1 MiB a port file may have while it was read; skipped</translation>
        </message>
        <message>
            <source>需要 %1 个以 TAB 分隔的字段，实有 %2 个</source>
            <translation>needs %1 fields separated by TAB, has %2</translation>
        </message>
        <message>
            <source>%1，第 %2 行：%3</source>
            <translation>%1, line %2: %3</translation>
        </message>
        <message>
            <source>%1：%2</source>
            <translation>%1: %2</translation>
        </message>
        <message>
            <source>……另有 1 个问题</source>
            <translation>... and 1 more problem</translation>
        </message>
        <message>
            <source>……另有 %1 个问题</source>
            <translation>... and %1 more problems</translation>
        </message>
    </context>
    <context>
        <name>StoreBudget</name>
        <message>
            <source>程序的内存用量已达上限 %1</source>
            <translation>the program's memory use reached its limit of %1</translation>
        </message>
        <message>
            <source>程序的内存用量已达上限 %1（其控制组内存上限 %2 的 %3%）</source>
            <translation>the program's memory use reached its limit of %1 (%3 % of its control group's limit of %2)</translation>
        </message>
        <message>
            <source>%1 所在文件系统的剩余空间已不足 %2</source>
            <translation>less than %2 remain free on the file system of %1</translation>
        </message>
    </context>
    <context>
        <name>TotalsTableModel</name>
        <message>
            <source>程序</source>
            <translation>Program</translation>
        </message>
        <message>
            <source>发送包</source>
            <translation>Packets sent</translation>
        </message>
        <message>
            <source>接收包</source>
            <translation>Packets received</translation>
        </message>
        <message>
            <source>发送字节</source>
            <translation>Bytes sent</translation>
        </message>
        <message>
            <source>接收字节</source>
            <translation>Bytes received</translation>
        </message>
        <message>
            <source>速率</source>
            <translation>Rate</translation>
        </message>
        <message>
            <source>最近</source>
            <translation>Last</translation>
        </message>
        <message>
            <source>主机</source>
            <translation>Host</translation>
        </message>
        <message>
            <source>名称</source>
            <translation>Name</translation>
        </message>
    </context>
    <context>
        <name>cSubCls</name>
        <message>
            <source>钩子已安装；请先移除再重新安装。</source>
            <translation>The hook is already installed; remove it before installing it again.</translation>
        </message>
        <message>
            <source>钩子需要一个窗口才能安装。</source>
            <translation>The hook needs a window to install on.</translation>
        </message>
        <message>
            <source>钩子需要一个可调用的所有者。</source>
            <translation>The hook needs an owner to call.</translation>
        </message>
        <message>
            <source>已登记消息时，钩子不能传递所有消息。</source>
            <translation>The hook cannot pass all messages when messages have been registered.</translation>
        </message>
        <message>
            <source>钩子没有可传递的已登记消息。</source>
            <translation>The hook has no registered message to pass.</translation>
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
        <name>quillet::RateChart</name>
        <message>
            <source>%1 包/s</source>
            <translation>%1 pkt/s</translation>
        </message>
        <message>
            <source>现在</source>
            <translation>now</translation>
        </message>
        <message>
            <source>%1 秒前</source>
            <translation>%1 s ago</translation>
        </message>
        <message>
            <source>选择一行以显示它每秒的流量</source>
            <translation>Select a row to see its traffic per second</translation>
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
            <source>追踪流</source>
            <translation>Follow Stream</translation>
        </message>
        <message>
            <source>显示过滤器</source>
            <translation>Display filter</translation>
        </message>
        <message>
            <source>显示 %1 / %2</source>
            <translation>Shown %1 / %2</translation>
        </message>
        <message>
            <source>%1 个数据包的载荷读不出，未计入</source>
            <translation>%1 payloads could not be read and were left out</translation>
        </message>
        <message>
            <source>工作捕获文件读取失败：这些数据包按不符合处理</source>
            <translation>Reading the working capture file failed: these packets count as not matching</translation>
        </message>
        <message>
            <source>按此值过滤：%1</source>
            <translation>Filter on this value: %1</translation>
        </message>
        <message>
            <source>…且不是此值：%1</source>
            <translation>… and not this value: %1</translation>
        </message>
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
            <source>打开捕获文件</source>
            <translation>Open capture file</translation>
        </message>
        <message>
            <source>捕获文件 (*.pcapng *.pcap *.cap);;所有文件 (*)</source>
            <translation>Capture files (*.pcapng *.pcap *.cap);;All files (*)</translation>
        </message>
        <message>
            <source>保存所显示的数据包</source>
            <translation>Save shown packets</translation>
        </message>
        <message>
            <source>保存全部数据包</source>
            <translation>Save all packets</translation>
        </message>
        <message>
            <source>正在读取 %1</source>
            <translation>Reading %1</translation>
        </message>
        <message>
            <source>正在保存 %1</source>
            <translation>Saving %1</translation>
        </message>
        <message>
            <source>统计...</source>
            <translation>Totals...</translation>
        </message>
        <message>
            <source>IPv6</source>
            <translation>IPv6</translation>
        </message>
    </context>
    <context>
        <name>quillet::frmTotals</name>
        <message>
            <source>统计</source>
            <translation>Totals</translation>
        </message>
        <message>
            <source>(无程序)</source>
            <translation>(no program)</translation>
        </message>
        <message>
            <source>每秒字节数</source>
            <translation>Bytes per second</translation>
        </message>
        <message>
            <source>每秒包数</source>
            <translation>Packets per second</translation>
        </message>
        <message>
            <source>图表：</source>
            <translation>Chart:</translation>
        </message>
        <message>
            <source>只显示最新的 %1 个会话，另有 %2 个较早的未显示</source>
            <translation>Only the newest %1 conversations are shown; %2 older ones are not</translation>
        </message>
    </context>
    <context>
        <name>quillet::DisplayFilterBox</name>
        <message>
            <source>显示过滤器，例如 tcp.port == 443</source>
            <translation>Display filter, e.g. tcp.port == 443</translation>
        </message>
        <message>
            <source>本次运行用过的过滤器</source>
            <translation>Filters applied in this run</translation>
        </message>
        <message>
            <source>显示过滤器：回车应用，空白显示全部（Ctrl+F）</source>
            <translation>Display filter: Enter applies it, an empty box shows everything (Ctrl+F)</translation>
        </message>
        <message>
            <source>有效的过滤器：回车应用</source>
            <translation>A valid filter: Enter applies it</translation>
        </message>
        <message>
            <source>（本次运行尚未应用过滤器）</source>
            <translation>(no filter applied in this run yet)</translation>
        </message>
    </context>
    <context>
        <name>main</name>
        <message>
            <source>Quillet 观察本机的 IPv4 和 IPv6 流量。</source>
            <translation>Quillet watches the IPv4 and IPv6 traffic of this machine.</translation>
        </message>
        <message>
            <source>界面语言（en 为英文；也可用 QUILLET_LANG）。</source>
            <translation>The language of the window (en for English; QUILLET_LANG does the same).</translation>
        </message>
        <message>
            <source>启动时应用的显示过滤器。</source>
            <translation>A display filter in force from the start.</translation>
        </message>
        <message>
            <source>启动后打开的捕获文件（pcapng 或 pcap）。</source>
            <translation>A capture file (pcapng or pcap) to open once the window is up.</translation>
        </message>
    </context>
    <context>
        <name>quillet::frmStream</name>
        <message>
            <source>追踪流</source>
            <translation>Follow Stream</translation>
        </message>
        <message>
            <source>双向</source>
            <translation>Both directions</translation>
        </message>
        <message>
            <source>文本</source>
            <translation>Text</translation>
        </message>
        <message>
            <source>十六进制</source>
            <translation>Hex dump</translation>
        </message>
        <message>
            <source>原始</source>
            <translation>Raw</translation>
        </message>
        <message>
            <source>查找</source>
            <translation>Find</translation>
        </message>
        <message>
            <source>上一个</source>
            <translation>Previous</translation>
        </message>
        <message>
            <source>下一个</source>
            <translation>Next</translation>
        </message>
        <message>
            <source>另存为...</source>
            <translation>Save As...</translation>
        </message>
        <message>
            <source>过滤此流</source>
            <translation>Filter on this stream</translation>
        </message>
        <message>
            <source>[缺 %1 字节]</source>
            <translation>[%1 bytes missing]</translation>
        </message>
        <message>
            <source>正在查找会话的数据包...</source>
            <translation>Finding the conversation's packets...</translation>
        </message>
        <message>
            <source>流 %1</source>
            <translation>stream %1</translation>
        </message>
        <message>
            <source>往返 %1</source>
            <translation>round trip %1</translation>
        </message>
        <message>
            <source>%1 → %2：%3 字节
%2 → %1：%4 字节</source>
            <translation>%1 → %2: %3 bytes
%2 → %1: %4 bytes</translation>
        </message>
        <message>
            <source>正在读取 %1%</source>
            <translation>Reading %1%</translation>
        </message>
        <message>
            <source>只显示前 %1</source>
            <translation>showing the first %1 only</translation>
        </message>
        <message>
            <source>保存流</source>
            <translation>Save Stream</translation>
        </message>
        <message>
            <source>所有文件 (*)</source>
            <translation>All files (*)</translation>
        </message>
        <message>
            <source>无法保存 %1：%2</source>
            <translation>Cannot save %1: %2</translation>
        </message>
        <message>
            <source>找不到 %1</source>
            <translation>%1 not found</translation>
        </message>
    </context>
</TS>
