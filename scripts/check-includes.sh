#!/usr/bin/env bash
# Fails when an include runs against the house's direction. Across libraries the link graph already
# refuses it (a header of a library not linked is not found); inside the service, one library, the
# rooms are kept apart here:
#   http/ carries bytes and knows no route; store/ knows only itself; cluster/ sits beside it, on
#   it; access/ (keys, roles, the failed-key limiter) sits on store/ and the cluster's shared
#   limit, and answers with the result type of links/ (a leaf that includes nothing); links/ sits on store/ and cluster/; web/ and api/ sit on links/ and store/, api/ on
#   access/ too; ops/ sits on access/, links/, store/ and cluster/, never on api/; the wiring at
#   the top (config, shortdservice) is included by no room but ops/, which reads the
#   service's own options. metrics/ knows only itself, and every room may count into it.
#   routes/ (the route table, its dispatcher and handlers) sits on web/, api/, links/ and store/,
#   and only the wiring at the top includes it.
# And nothing in client/ (shared with the terminal client) includes a widget.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
    [service/metrics]='metrics/'
    [service/http]='http/|metrics/'
    [service/store]='store/|metrics/'
    [service/cluster]='cluster/|store/|metrics/'
    [service/access]='access/|cluster/|store/|metrics/|links/result\.h'
    [service/links]='links/|cluster/|store/|metrics/'
    [service/web]='web/|links/|store/|metrics/|http/message\.h|http/limits\.h'
    [service/api]='api/|access/|links/|store/|metrics/|http/message\.h|http/limits\.h'
    [service/routes]='routes/|web/|api/|links/|store/|metrics/|http/message\.h|config\.h'
    [service/ops]='ops/|access/|links/|store/|cluster/|metrics/|config\.h'
)
status=0
for room in "${!allowed[@]}"; do
    [[ -d $room ]] || continue
    # Project headers of the service are named by room ("links/codes.h") or are top-level files.
    while IFS= read -r hit; do
        header=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${hit#*:*:}")
        case $header in
        */* | config.h | shortdservice.h) ;;
        *) continue ;; # another library's header (protocol.h, displaytext.h, qrcode.h)
        esac
        if ! grep -qE "^(${allowed[$room]})" <<<"$header"; then
            echo "check-includes: ${hit%%:*}:$(cut -d: -f2 <<<"$hit") includes $header, against the direction of $room/" >&2
            status=1
        fi
    done < <(grep -rnE '^#include "' "$room" --include='*.h' --include='*.cpp' || true)
done
if grep -rnE '^#include <(QtWidgets/|QWidget|QApplication|QMainWindow|QMessageBox)' client; then
    echo "check-includes: client/ is shared with the terminal client and includes no widget" >&2
    status=1
fi
exit $status
