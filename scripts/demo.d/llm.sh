#!/usr/bin/env bash
# tavrin-apple-llm on a sample transcript, with a small generated model
# installed in a temporary XDG data home.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/apple-llm/tavrin-apple-llm
make_model=build/apple-llm/tavrin-llm-testmodel
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
export XDG_DATA_HOME="$data" XDG_DATA_DIRS="$data/none"

echo
echo "== tavrin-apple-llm =="
echo "\$ tavrin-apple-llm status            (no model installed yet)"
"$bin" status

mkdir -p "$data/tavrin/models"
"$make_model" "$data/tavrin/models/demo.gguf" tiny
echo "Installed a small generated llama model in \$XDG_DATA_HOME/tavrin/models/demo.gguf."
echo "Its weights are RANDOM: the words below are meaningless, but the structure"
echo "(the record's keys, types and JSON form) is real and enforced by the grammar."
echo "\$ tavrin-apple-llm status"
"$bin" status

cat >"$data/section.txt" <<'TEXT'
You: Thanks for joining. First, the release date for the desktop app.
Others: We said the fourteenth, but installer signing still fails on two machines.
You: Then let's move the release to the twentieth and keep the fourteenth for the beta.
Others: Agreed. I'll tell support and update the release notes.
TEXT
echo "\$ tavrin-apple-llm extract section.txt"
"$bin" extract "$data/section.txt" || echo "(exit status $?)"
echo "\$ tavrin-apple-llm extract section.txt ja"
"$bin" extract "$data/section.txt" ja || echo "(exit status $?)"

cat >"$data/notes.txt" <<'TEXT'
Release date: moved from the 14th to the 20th because installer signing fails; the 14th becomes the beta.
Action items: tell support and update the release notes (Others).
TEXT
echo "\$ tavrin-apple-llm synthesize notes.txt"
"$bin" synthesize "$data/notes.txt" || echo "(exit status $?)"
echo "\$ tavrin-apple-llm extract missing.txt"
"$bin" extract "$data/missing.txt" || echo "(exit status $?)"
