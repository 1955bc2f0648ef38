<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Messages</name>
    <message>
        <location filename="../row.cpp" line="118"/>
        <source>The address must contain http:// or https://</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../row.cpp" line="120"/>
        <source>The line is too long to be an address</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../row.cpp" line="122"/>
        <source>The service stayed busy; no retries left</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../row.cpp" line="124"/>
        <source>The server took too long to answer; try again later</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../row.cpp" line="126"/>
        <source>Cannot connect to the shortening service; check the network and try again</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../row.cpp" line="128"/>
        <source>The server&apos;s reply cannot be read; try again later</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::Expander</name>
    <message>
        <location filename="../expand.cpp" line="55"/>
        <source>not an http or https address</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="66"/>
        <source>(not followed: plain http to another machine)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="80"/>
        <source>no answer in time</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="80"/>
        <source>cannot connect</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="94"/>
        <source>a redirect without a Location</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="100"/>
        <source>(stops here: not an http or https address)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="106"/>
        <source>more than %1 redirects</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../expand.cpp" line="115"/>
        <source>(failed: %1)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::Progress</name>
    <message>
        <location filename="../progress.cpp" line="51"/>
        <source>%1 done</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../progress.cpp" line="53"/>
        <source>%1/s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../progress.cpp" line="56"/>
        <source>%1 left</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Nolvex::Cli::ShortenCommand</name>
    <message>
        <location filename="../command.cpp" line="29"/>
        <source>Read addresses from FILE, one a line (&quot;-&quot;: standard input).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="31"/>
        <source>Short-link service, 0 to %1 (default 0).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="34"/>
        <source>Requests in flight, 1 to %1 (default 4).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="37"/>
        <source>Output: text, tsv, csv or jsonl (default text).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="40"/>
        <source>Retries of an address when the service is busy or unreachable (default 3).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="43"/>
        <source>Time limit of each request in seconds (default 15).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="46"/>
        <source>No progress bar.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="47"/>
        <source>Draw the short link&apos;s QR code (one address).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="49"/>
        <source>Write the short link&apos;s QR code to FILE as a PNG (one address).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="51"/>
        <source>Show where each LINK leads, hop by hop, without opening it.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="53"/>
        <source>Ask the version service whether a newer release exists.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="80"/>
        <source>Shortens addresses in batches, draws QR codes, shows where links lead.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="88"/>
        <source>Addresses to shorten (or, with --expand, links).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="88"/>
        <source>[ADDRESS|LINK…]</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="119"/>
        <source>--type must be a whole number from 0 to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="121"/>
        <source>--jobs must be a whole number from 1 to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="123"/>
        <source>--retries must be a whole number from 0 to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="125"/>
        <source>--format must be text, tsv, csv or jsonl</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="127"/>
        <source>--timeout must be a number of seconds above 0 and at most %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="129"/>
        <source>--expand and --check-update do not go together</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="131"/>
        <source>--input, --qr and --qr-png only go with shortening</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="133"/>
        <source>--expand needs at least one link</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="135"/>
        <source>--check-update takes no addresses</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="137"/>
        <source>give the addresses either as arguments or with --input, not both and not neither</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="139"/>
        <source>--qr and --qr-png need exactly one address given as an argument</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="141"/>
        <source>--qr-png needs a file name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="144"/>
        <source>Try “nolvex-shorten --help”.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="187"/>
        <source>cannot read %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="217"/>
        <source>line %1: %2: %3</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="235"/>
        <source>the short link is too long for a QR code</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="247"/>
        <source>cannot write %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="270"/>
        <source>The check failed: the version service cannot be reached.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="278"/>
        <source>The check failed; carry on with this version (%1).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="282"/>
        <source>Version %1 is the latest.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="286"/>
        <source>Version %1 is out (this is %2): %3</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../command.cpp" line="292"/>
        <source>This update is required.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
