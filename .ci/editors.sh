#!/usr/bin/env bash
# The editor stage of CI: tests the TextMate grammar in editors/vscode on the
# annotated snippet tests/editors/grammar.cas with vscode-tmgrammar-test
# (installed from npm, at the version pinned in tests/editors/package.json,
# into build/editor-tests), and the Vim syntax file in editors/vim through
# vim -es. Installs vim, and Node.js with npm, when they are missing.
set -euo pipefail

cd "$(dirname "$0")/.."
stage_start=$SECONDS

packages=(vim)
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
. .ci/install-missing.sh
install_missing "${packages[@]}"

tools=build/editor-tests
mkdir -p "$tools"
cp tests/editors/package.json "$tools/package.json"
npm install --prefix "$tools" --no-package-lock --no-audit --no-fund --loglevel=error
"$tools/node_modules/.bin/vscode-tmgrammar-test" --config editors/vscode/package.json tests/editors/grammar.cas

# vim -es reports nothing by itself; the script prints its failures and a count.
vim -Nu NONE -i NONE -es -S tests/editors/highlight.vim | cat
echo "editors: grammar and Vim tests passed (after $((SECONDS - stage_start)) s of this stage)"
