<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Messages</name>
    <message>
        <location filename="../row.cpp" line="142"/>
        <source>The service redirected the request to another address, not followed: %1</source>
        <translation>服务器把请求转向了其他地址，未跟随：%1</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="170"/>
        <source>line %1: %2: %3</source>
        <translation>第 %1 行：%2：%3</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="114"/>
        <source>The address must contain http:// or https://</source>
        <translation>网址必须包含http://或https://</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="116"/>
        <source>The line is too long to be an address</source>
        <translation>该行太长，不是有效的网址</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="120"/>
        <source>The service stayed busy; no retries left</source>
        <translation>服务器一直繁忙，重试次数已用完</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="122"/>
        <source>The server took too long to answer; try again later</source>
        <translation>服务器响应超时,请稍后重试..</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="124"/>
        <source>Cannot connect to the shortening service; check the network and try again</source>
        <translation>无法连接短网址服务器,请检查网络后重试..</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="126"/>
        <source>The server&apos;s reply cannot be read; try again later</source>
        <translation>服务器返回的数据无法识别,请稍后重试..</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="128"/>
        <source>The service refused the API key</source>
        <translation>服务拒绝了该 API 密钥</translation>
    </message>
    <message>
        <location filename="../row.cpp" line="118"/>
        <source>The line is not valid UTF-8 text</source>
        <translation>该行不是有效的 UTF-8 文本</translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::Expander</name>
    <message>
        <location filename="../expand.cpp" line="55"/>
        <source>not an http or https address</source>
        <translation>不是 http 或 https 网址</translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="66"/>
        <source>(not followed: plain http to another machine)</source>
        <translation>（未跟随：不对其他机器使用未加密的 http）</translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="80"/>
        <source>no answer in time</source>
        <translation>响应超时</translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="80"/>
        <source>cannot connect</source>
        <translation>无法连接</translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="94"/>
        <source>a redirect without a Location</source>
        <translation>跳转缺少 Location</translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="100"/>
        <source>(stops here: not an http or https address)</source>
        <translation>（到此为止：不是 http 或 https 网址）</translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="106"/>
        <source>more than %1 redirects</source>
        <translation>跳转超过 %1 次</translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="115"/>
        <source>(failed: %1)</source>
        <translation>（失败：%1）</translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::Progress</name>
    <message>
        <location filename="../progress.cpp" line="51"/>
        <source>%1 done</source>
        <translation>已完成 %1</translation>
    </message>
    <message>
        <location filename="../progress.cpp" line="53"/>
        <source>%1/s</source>
        <translation>%1/秒</translation>
    </message>
    <message>
        <location filename="../progress.cpp" line="56"/>
        <source>%1 left</source>
        <translation>剩余 %1</translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::ShortenCommand</name>
    <message>
        <location filename="../options.cpp" line="44"/>
        <source>Read addresses from FILE, one a line (&quot;-&quot;: standard input).</source>
        <translation>从 FILE 读取网址，每行一个（“-”为标准输入）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="46"/>
        <source>Short-link service, 0 to %1 (default %2).</source>
        <translation>短网址服务，0 到 %1（默认 %2）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="49"/>
        <source>Requests in flight, 1 to %1 (default %2).</source>
        <translation>同时进行的请求数，1 到 %1（默认 %2）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="51"/>
        <source>Output: text, tsv, csv or jsonl (default %1).</source>
        <translation>输出格式：text、tsv、csv 或 jsonl（默认 %1）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="53"/>
        <source>Retries of an address when the service is busy or unreachable (default %1).</source>
        <translation>服务器繁忙或无法连接时每个网址的重试次数（默认 %1）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="60"/>
        <source>No progress bar.</source>
        <translation>不显示进度条。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="61"/>
        <source>Draw the short link&apos;s QR code (one address).</source>
        <translation>显示短网址的二维码（仅限一个网址）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="63"/>
        <source>Write the short link&apos;s QR code to FILE as a PNG (one address).</source>
        <translation>将短网址的二维码保存为 PNG 文件 FILE（仅限一个网址）。</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="67"/>
        <source>Show where each LINK leads, hop by hop, without opening it.</source>
        <translation>逐跳显示每个链接 LINK 指向何处，不打开它。</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="70"/>
        <source>Ask the version service whether a newer release exists.</source>
        <translation>向版本服务查询是否有新版本。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="65"/>
        <source>Create the link with this short code (one address; through the API).</source>
        <translation>用此短码创建链接（仅一个网址；通过 API）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="67"/>
        <source>The links end at DATE: 2026-12-31T18:00:00+08:00, 2026-12-31 (local midnight) or a span such as 12h, 7d, 2w (through the API).</source>
        <translation>链接于 DATE 失效：2026-12-31T18:00:00+08:00、2026-12-31（当地零点）或 12h、7d、2w 这样的时长（通过 API）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="71"/>
        <source>The links end after N visits (through the API).</source>
        <translation>链接在 N 次访问后失效（通过 API）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="73"/>
        <source>The links&apos; title (through the API).</source>
        <translation>链接的标题（通过 API）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="75"/>
        <source>A tag for the links; may repeat (through the API).</source>
        <translation>链接的标签，可重复（通过 API）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="77"/>
        <source>Create through the API with the key in FILE, readable by its owner alone (else the key comes from %1).</source>
        <translation>通过 API 创建，密钥取自 FILE，该文件只能由其所有者读取（否则密钥取自 %1）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="92"/>
        <source>Shortens addresses in batches, draws QR codes, shows where links lead.</source>
        <translation>批量缩短网址，生成二维码，查看链接指向何处。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="97"/>
        <source>--code, --expires, --max-visits, --title, --tag or --api-key-file create through the service&apos;s JSON API with an API key; --expires, --max-visits, --title and --tag apply to every address, --code to one. Exit status 3 also when the service refuses the key.</source>
        <translation>--code、--expires、--max-visits、--title、--tag 或 --api-key-file 使用 API 密钥通过服务的 JSON API 创建；--expires、--max-visits、--title 和 --tag 作用于每个网址，--code 只用于一个。服务拒绝密钥时退出状态也为 3。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="111"/>
        <source>Addresses to shorten (or, with --expand, links).</source>
        <translation>要缩短的网址（与 --expand 一起时为链接）。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="111"/>
        <source>[ADDRESS|LINK…]</source>
        <translation>[网址|链接…]</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="142"/>
        <source>--type must be a whole number from 0 to %1</source>
        <translation>--type 必须是 0 到 %1 的整数</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="145"/>
        <source>--jobs must be a whole number from 1 to %1</source>
        <translation>--jobs 必须是 1 到 %1 的整数</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="148"/>
        <source>--retries must be a whole number from 0 to %1</source>
        <translation>--retries 必须是 0 到 %1 的整数</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="151"/>
        <source>--format must be text, tsv, csv or jsonl</source>
        <translation>--format 必须是 text、tsv、csv 或 jsonl</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="155"/>
        <source>--timeout must be a number of seconds above 0 and at most %1</source>
        <translation>--timeout 必须是大于 0、不超过 %1 的秒数</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="187"/>
        <source>--%1 is given more than once</source>
        <translation>--%1 给出了不止一次</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="198"/>
        <source>--code needs a code</source>
        <translation>--code 需要一个短码</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="211"/>
        <source>--max-visits must be a whole number from 1 to %1</source>
        <translation>--max-visits 必须是 1 到 %1 之间的整数</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="221"/>
        <source>--tag needs a tag</source>
        <translation>--tag 需要一个标签</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="238"/>
        <source>creating through the API needs a key: set %1 or give --api-key-file FILE</source>
        <translation>通过 API 创建需要密钥：请设置 %1 或给出 --api-key-file FILE</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="250"/>
        <source>cannot read the key file %1: %2</source>
        <translation>无法读取密钥文件 %1：%2</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="255"/>
        <source>the key file %1 can be read by other users; make it yours alone (chmod 600 %1)</source>
        <translation>密钥文件 %1 可被其他用户读取；请使其仅归你所有（chmod 600 %1）</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="260"/>
        <source>the key file %1 is too large to hold a key</source>
        <translation>密钥文件 %1 太大，不可能是密钥</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="280"/>
        <source>--input, --qr and --qr-png only go with shortening</source>
        <translation>--input、--qr 和 --qr-png 只能用于缩短网址</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="283"/>
        <source>--code, --expires, --max-visits, --title, --tag and --api-key-file only go with shortening</source>
        <translation>--code、--expires、--max-visits、--title、--tag 和 --api-key-file 只能用于缩短</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="307"/>
        <source>an API key is not taken on the command line, where other users can see it: set %1 or give --api-key-file FILE</source>
        <translation>API 密钥不能写在命令行上，其他用户能看到：请设置 %1 或给出 --api-key-file FILE</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="48"/>
        <source>--expand needs at least one link</source>
        <translation>--expand 至少需要一个链接</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="56"/>
        <source>--check-update takes no addresses</source>
        <translation>--check-update 不接受网址</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="27"/>
        <source>give the addresses either as arguments or with --input, not both and not neither</source>
        <translation>请以参数或 --input 给出网址（二者选一）</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="30"/>
        <source>--qr and --qr-png need exactly one address given as an argument</source>
        <translation>--qr 和 --qr-png 需要恰好一个以参数给出的网址</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="33"/>
        <source>--qr-png needs a file name</source>
        <translation>--qr-png 需要文件名</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="304"/>
        <source>Try “nolvex-shorten --help”.</source>
        <translation>请运行“nolvex-shorten --help”查看用法。</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="38"/>
        <source>--code needs exactly one address given as an argument</source>
        <translation>--code 需要恰好一个作为参数给出的网址</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="141"/>
        <source>cannot read %1: %2</source>
        <translation>无法读取 %1：%2</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="227"/>
        <source>the short link is too long for a QR code</source>
        <translation>短网址太长，无法生成二维码</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="239"/>
        <source>cannot write %1: %2</source>
        <translation>无法写入 %1：%2</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="263"/>
        <source>The check failed: the version service cannot be reached.</source>
        <translation>检测失败：无法连接版本服务器。</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="271"/>
        <source>The check failed; carry on with this version (%1).</source>
        <translation>检测失败,请先使用当前版本（%1）。</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="275"/>
        <source>Version %1 is the latest.</source>
        <translation>当前软件为最新版本（%1）。</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="279"/>
        <source>Version %1 is out (this is %2): %3</source>
        <translation>发现最新版本%1（当前为 %2）：%3</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="285"/>
        <source>This update is required.</source>
        <translation>此更新为必须更新。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="56"/>
        <source>Time limit of each request in seconds (default %1; %2 for the version check).</source>
        <translation>每个请求的时限，单位秒（默认 %1；版本检测为 %2）。</translation>
    </message>
    <message>
        <location filename="../command.cpp" line="203"/>
        <source>cannot write to standard output (%1): stopped after %2 rows written of %3 lines read; the rest were not sent</source>
        <translation>无法写入标准输出（%1）：已读取 %3 行，写出 %2 行后停止；其余网址未发送</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="94"/>
        <source>Exit status: 0 every row succeeded, 1 some rows failed, 2 bad usage, 3 bad settings, 4 the service could not be reached, 5 standard output was closed.</source>
        <translation>退出状态：0 全部成功，1 部分行失败，2 用法错误，3 设置错误，4 无法连接服务器，5 标准输出已关闭。</translation>
    </message>
    <message>
        <location filename="../options.cpp" line="171"/>
        <source>--%1 and --%2 do not go together</source>
        <translation>--%1 与 --%2 不能同时使用</translation>
    </message>
</context>
<context>
    <name>Nolvex::LinkApi</name>
    <message>
        <location filename="../../client/linkapi.cpp" line="120"/>
        <source>--expires takes a time with its offset (2026-12-31T18:00:00+08:00), a day (2026-12-31) or a span (12h, 7d, 2w)</source>
        <translation>--expires 接受带时区偏移的时间（2026-12-31T18:00:00+08:00）、日期（2026-12-31）或时长（12h、7d、2w）</translation>
    </message>
    <message>
        <location filename="../../client/linkapi.cpp" line="125"/>
        <source>--expires %1 is already past</source>
        <translation>--expires %1 已经过去</translation>
    </message>
    <message>
        <location filename="../../client/linkapi.cpp" line="141"/>
        <source>the API key is empty</source>
        <translation>API 密钥为空</translation>
    </message>
    <message>
        <location filename="../../client/linkapi.cpp" line="146"/>
        <source>the API key holds a blank, a line break or a character other than printable ASCII</source>
        <translation>API 密钥含有空白、换行或可打印 ASCII 以外的字符</translation>
    </message>
    <message>
        <location filename="../../client/linkapi.cpp" line="190"/>
        <source>the service refused the request (HTTP %1)</source>
        <translation>服务拒绝了请求（HTTP %1）</translation>
    </message>
</context>
</TS>
