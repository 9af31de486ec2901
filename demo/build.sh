#!/usr/bin/env bash
# Builds the demonstration launcher jar from demo/src with the machine's JDK (javac, jar).
# Usage: demo/build.sh OUTPUT_JAR
set -euo pipefail
out=${1:?usage: demo/build.sh OUTPUT_JAR}
src=$(cd "$(dirname "$0")" && pwd)/src
classes=$(mktemp -d)
trap 'rm -rf "$classes"' EXIT
javac --release 17 -d "$classes" $(find "$src" -name '*.java')
printf 'Main-Class: quillmarsh.demo.Launcher\n' >"$classes/manifest.txt"
mkdir -p "$(dirname "$out")"
jar --create --file "$out" --manifest "$classes/manifest.txt" -C "$classes" quillmarsh
