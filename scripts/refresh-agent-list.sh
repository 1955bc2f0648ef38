#!/bin/sh
# Refreshes the crawler pattern list the service classifies visits by, from the npm registry.
# With a version, pins that one first (package.json and package-lock.json change with it).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work="$here/crawler-list"
target="$here/../service/links/agents"
cd "$work"
if [ $# -gt 0 ]; then
    npm install --ignore-scripts --save-exact "crawler-user-agents@$1"
else
    npm ci --ignore-scripts
fi
cp node_modules/crawler-user-agents/crawler-user-agents.json "$target/crawler-user-agents.json"
cp node_modules/crawler-user-agents/LICENSE "$target/crawler-user-agents.LICENSE"
echo "crawler-user-agents $(node -p 'require("crawler-user-agents/package.json").version') copied to service/links/agents;"
echo "rebuild and run tst_visitclass to check it."
