#!/usr/bin/env bash
# The link checker on a small tree of pages: every kind of link that must
# pass passes, and each broken one is reported on its own line.
set -euo pipefail
checker=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/docs/pending" "$tree/pics"
touch "$tree/pics/shot.png"
cat > "$tree/docs/topic.md" <<'PAGE'
# A topic
## Where `files` go, and why
## Twice
## Twice
See [the start](../README.md#the-start) and [here](#a-topic).
PAGE
echo '[drafts link as for the page they join](reuse.md)' > "$tree/docs/pending/draft.md"
good='# The start
[page](docs/topic.md) [folder](docs/) ![shot](pics/shot.png) <img src="pics/shot.png">
[anchor](docs/topic.md#where-files-go-and-why) [repeat](docs/topic.md#twice-1) [site](https://example.org/x.md)
[reference]: docs/topic.md
`[in code](missing.md)`
```
[in a block](missing.md)
```'
bad='[gone](docs/missing.md)
![gone image](pics/missing.png)
[no heading](docs/topic.md#nowhere)
[outside](../elsewhere.md)
[gone reference]: docs/also-missing.md'
printf '%s\n' "$good" > "$tree/README.md"
out=$(python3 "$checker" "$tree") || { echo "$out"; exit 1; }
[ "$out" = "check_links: 10 links resolve" ] || { echo "$out"; exit 1; }

printf '%s\n%s\n' "$good" "$bad" > "$tree/README.md"
status=0
python3 "$checker" "$tree" > "$tree/out" || status=$?
expected="README.md:9: link 'docs/missing.md' names nothing
README.md:10: link 'pics/missing.png' names nothing
README.md:11: link 'docs/topic.md#nowhere' names no heading '#nowhere' of docs/topic.md
README.md:12: link '../elsewhere.md' leaves the repository
README.md:13: link 'docs/also-missing.md' names nothing
check_links: 5 of 15 links broken"
[ $status = 1 ] && [ "$(cat "$tree/out")" = "$expected" ] || { echo "unexpected:"; cat "$tree/out"; exit 1; }
echo "link checker: passes good links, reports each broken one"
