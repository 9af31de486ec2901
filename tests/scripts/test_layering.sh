#!/usr/bin/env bash
# The floors of the product code: includes go only downward. base/ includes nothing else of the
# project; the subsystems (net, device, java, client) include base/, themselves and a lower subsystem
# (device and java use net), never shell/; shell/ may include everything. A *_pure file includes only
# standard headers and other *_pure.h files. Every include that breaks a rule is named with the rule.
set -uo pipefail
cd "$(dirname "$0")/../.."

# floor of each folder; a folder may include its own floor and anything lower
declare -A floor=([base]=0 [net]=1 [client]=1 [java]=2 [device]=2 [shell]=3)
declare -A rule=(
    [base]="base/ includes nothing else of the project"
    [net]="net/ includes only base/ and net/"
    [client]="client/ includes only base/ and client/"
    [java]="java/ includes only base/, net/ and java/"
    [device]="device/ includes only base/, net/ and device/"
    [shell]="shell/ may include every folder"
)
fail=0
checked=0
for dir in "${!floor[@]}"; do
    for file in "$dir"/*.h "$dir"/*.cpp; do
        [ -f "$file" ] || continue
        checked=$((checked + 1))
        while IFS= read -r line; do
            include=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' <<<"$line")
            [ -n "$include" ] || continue
            target=${include%%/*}
            if [[ "$file" == *_pure.* ]] && [[ "$include" != *_pure.h ]]; then
                echo "FAIL: $file includes \"$include\": a pure file includes only standard headers and *_pure.h"
                fail=1
            fi
            [ "$include" = "deployment_values.h" ] && target=generated
            if [ "$target" = generated ]; then
                # the build's generated values: the shell's server address and the device's signing key
                case "$dir" in shell|device) continue ;; esac
                echo "FAIL: $file includes \"$include\": only shell/ and device/ read the deployment values"
                fail=1
                continue
            fi
            if [ -z "${floor[$target]+x}" ] || [ "$include" = "$target" ]; then
                [ "$dir" = shell ] && [ "$include" = "shell/resources/resource_ids.h" ] && continue
                echo "FAIL: $file includes \"$include\", which is no header of the product's floors"
                fail=1
                continue
            fi
            [ "$target" = "$dir" ] && continue
            allowed=0
            case "$dir:$target" in
                shell:*) allowed=1 ;;
                net:base|client:base|java:base|device:base) allowed=1 ;;
                java:net|device:net) allowed=1 ;;
            esac
            if [ $allowed -eq 0 ]; then
                echo "FAIL: $file includes \"$include\": ${rule[$dir]}"
                fail=1
            fi
        done <"$file"
    done
done
[ "$checked" -gt 0 ] || { echo "FAIL: no product files found"; exit 1; }
[ $fail -eq 0 ] && echo "ok: $checked files keep to their floors"
exit $fail
