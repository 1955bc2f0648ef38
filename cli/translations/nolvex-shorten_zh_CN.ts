<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Messages</name>
    <message>
        <source>The address must contain http:// or https://</source>
        <translation>网址必须包含http://或https://</translation>
    </message>
    <message>
        <source>The line is too long to be an address</source>
        <translation>该行太长，不是有效的网址</translation>
    </message>
    <message>
        <source>The service stayed busy; no retries left</source>
        <translation>服务器一直繁忙，重试次数已用完</translation>
    </message>
    <message>
        <source>The server took too long to answer; try again later</source>
        <translation>服务器响应超时,请稍后重试..</translation>
    </message>
    <message>
        <source>Cannot connect to the shortening service; check the network and try again</source>
        <translation>无法连接短网址服务器,请检查网络后重试..</translation>
    </message>
    <message>
        <source>The server&apos;s reply cannot be read; try again later</source>
        <translation>服务器返回的数据无法识别,请稍后重试..</translation>
    </message>
    <message>
        <source>The line is not valid UTF-8 text</source>
        <translation>该行不是有效的 UTF-8 文本</translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::Expander</name>
    <message>
        <source>not an http or https address</source>
        <translation>不是 http 或 https 网址</translation>
    </message>
    <message>
        <source>(not followed: plain http to another machine)</source>
        <translation>（未跟随：不对其他机器使用未加密的 http）</translation>
    </message>
    <message>
        <source>no answer in time</source>
        <translation>响应超时</translation>
    </message>
    <message>
        <source>cannot connect</source>
        <translation>无法连接</translation>
    </message>
    <message>
        <source>a redirect without a Location</source>
        <translation>跳转缺少 Location</translation>
    </message>
    <message>
        <source>(stops here: not an http or https address)</source>
        <translation>（到此为止：不是 http 或 https 网址）</translation>
    </message>
    <message>
        <source>more than %1 redirects</source>
        <translation>跳转超过 %1 次</translation>
    </message>
    <message>
        <source>(failed: %1)</source>
        <translation>（失败：%1）</translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::Progress</name>
    <message>
        <source>%1 done</source>
        <translation>已完成 %1</translation>
    </message>
    <message>
        <source>%1/s</source>
        <translation>%1/秒</translation>
    </message>
    <message>
        <source>%1 left</source>
        <translation>剩余 %1</translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::ShortenCommand</name>
    <message>
        <source>Read addresses from FILE, one a line (&quot;-&quot;: standard input).</source>
        <translation>从 FILE 读取网址，每行一个（“-”为标准输入）。</translation>
    </message>
    <message>
        <source>Short-link service, 0 to %1 (default 0).</source>
        <translation>短网址服务，0 到 %1（默认 0）。</translation>
    </message>
    <message>
        <source>Requests in flight, 1 to %1 (default 4).</source>
        <translation>同时进行的请求数，1 到 %1（默认 4）。</translation>
    </message>
    <message>
        <source>Output: text, tsv, csv or jsonl (default text).</source>
        <translation>输出格式：text、tsv、csv 或 jsonl（默认 text）。</translation>
    </message>
    <message>
        <source>Retries of an address when the service is busy or unreachable (default 3).</source>
        <translation>服务器繁忙或无法连接时每个网址的重试次数（默认 3）。</translation>
    </message>
    <message>
        <source>No progress bar.</source>
        <translation>不显示进度条。</translation>
    </message>
    <message>
        <source>Draw the short link&apos;s QR code (one address).</source>
        <translation>显示短网址的二维码（仅限一个网址）。</translation>
    </message>
    <message>
        <source>Write the short link&apos;s QR code to FILE as a PNG (one address).</source>
        <translation>将短网址的二维码保存为 PNG 文件 FILE（仅限一个网址）。</translation>
    </message>
    <message>
        <source>Show where each LINK leads, hop by hop, without opening it.</source>
        <translation>逐跳显示每个链接 LINK 指向何处，不打开它。</translation>
    </message>
    <message>
        <source>Ask the version service whether a newer release exists.</source>
        <translation>向版本服务查询是否有新版本。</translation>
    </message>
    <message>
        <source>Shortens addresses in batches, draws QR codes, shows where links lead.</source>
        <translation>批量缩短网址，生成二维码，查看链接指向何处。</translation>
    </message>
    <message>
        <source>Addresses to shorten (or, with --expand, links).</source>
        <translation>要缩短的网址（与 --expand 一起时为链接）。</translation>
    </message>
    <message>
        <source>[ADDRESS|LINK…]</source>
        <translation>[网址|链接…]</translation>
    </message>
    <message>
        <source>--type must be a whole number from 0 to %1</source>
        <translation>--type 必须是 0 到 %1 的整数</translation>
    </message>
    <message>
        <source>--jobs must be a whole number from 1 to %1</source>
        <translation>--jobs 必须是 1 到 %1 的整数</translation>
    </message>
    <message>
        <source>--retries must be a whole number from 0 to %1</source>
        <translation>--retries 必须是 0 到 %1 的整数</translation>
    </message>
    <message>
        <source>--format must be text, tsv, csv or jsonl</source>
        <translation>--format 必须是 text、tsv、csv 或 jsonl</translation>
    </message>
    <message>
        <source>--timeout must be a number of seconds above 0 and at most %1</source>
        <translation>--timeout 必须是大于 0、不超过 %1 的秒数</translation>
    </message>
    <message>
        <source>--input, --qr and --qr-png only go with shortening</source>
        <translation>--input、--qr 和 --qr-png 只能用于缩短网址</translation>
    </message>
    <message>
        <source>--expand needs at least one link</source>
        <translation>--expand 至少需要一个链接</translation>
    </message>
    <message>
        <source>--check-update takes no addresses</source>
        <translation>--check-update 不接受网址</translation>
    </message>
    <message>
        <source>give the addresses either as arguments or with --input, not both and not neither</source>
        <translation>请以参数或 --input 给出网址（二者选一）</translation>
    </message>
    <message>
        <source>--qr and --qr-png need exactly one address given as an argument</source>
        <translation>--qr 和 --qr-png 需要恰好一个以参数给出的网址</translation>
    </message>
    <message>
        <source>--qr-png needs a file name</source>
        <translation>--qr-png 需要文件名</translation>
    </message>
    <message>
        <source>Try “nolvex-shorten --help”.</source>
        <translation>请运行“nolvex-shorten --help”查看用法。</translation>
    </message>
    <message>
        <source>cannot read %1: %2</source>
        <translation>无法读取 %1：%2</translation>
    </message>
    <message>
        <source>line %1: %2: %3</source>
        <translation>第 %1 行：%2：%3</translation>
    </message>
    <message>
        <source>the short link is too long for a QR code</source>
        <translation>短网址太长，无法生成二维码</translation>
    </message>
    <message>
        <source>cannot write %1: %2</source>
        <translation>无法写入 %1：%2</translation>
    </message>
    <message>
        <source>The check failed: the version service cannot be reached.</source>
        <translation>检测失败：无法连接版本服务器。</translation>
    </message>
    <message>
        <source>The check failed; carry on with this version (%1).</source>
        <translation>检测失败,请先使用当前版本（%1）。</translation>
    </message>
    <message>
        <source>Version %1 is the latest.</source>
        <translation>当前软件为最新版本（%1）。</translation>
    </message>
    <message>
        <source>Version %1 is out (this is %2): %3</source>
        <translation>发现最新版本%1（当前为 %2）：%3</translation>
    </message>
    <message>
        <source>This update is required.</source>
        <translation>此更新为必须更新。</translation>
    </message>
    <message>
        <source>Time limit of each request in seconds (default %1; %2 for the version check).</source>
        <translation>每个请求的时限，单位秒（默认 %1；版本检测为 %2）。</translation>
    </message>
    <message>
        <source>cannot write to standard output (%1): stopped after %2 rows written of %3 lines read; the rest were not sent</source>
        <translation>无法写入标准输出（%1）：已读取 %3 行，写出 %2 行后停止；其余网址未发送</translation>
    </message>
    <message>
        <source>Exit status: 0 every row succeeded, 1 some rows failed, 2 bad usage, 3 bad settings, 4 the service could not be reached, 5 standard output was closed.</source>
        <translation>退出状态：0 全部成功，1 部分行失败，2 用法错误，3 设置错误，4 无法连接服务器，5 标准输出已关闭。</translation>
    </message>
    <message>
        <source>--%1 and --%2 do not go together</source>
        <translation>--%1 与 --%2 不能同时使用</translation>
    </message>
</context>
</TS>
