#!/usr/bin/env bash
# Vendors the npm packages of web/package-lock.json (pinned versions) into
# web/node_modules: uPlot, which the build embeds into talvawatch (the page
# then needs no network), and with --test puppeteer-core, which drives
# Debian's chromium in the browser test. Nothing is fetched at run time.
# Safe to run again: it installs only when the lock file changed.
set -euo pipefail
cd "$(dirname "$0")/../web"
omit=(--omit=dev)
[ "${1:-}" = "--test" ] && omit=()
stamp=node_modules/.talva-vendored
want="$(sha256sum package-lock.json | cut -d' ' -f1) ${omit[*]:-all}"
have=$(cat "$stamp" 2>/dev/null || true)
# What is there already serves: the same set, or every package (the test
# set holds the programs' set; a later plain set-up keeps the test packages).
if [ "$have" = "$want" ] || [ "$have" = "${want% *} all" ]; then exit 0; fi
# --ignore-scripts: no package runs code at install (puppeteer-core downloads no browser anyway)
npm ci --ignore-scripts --no-audit --no-fund "${omit[@]}"
echo "$want" > "$stamp"
