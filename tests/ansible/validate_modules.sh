#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the validate-modules sanity checks of ansible-test on a module,
# offline: `ansible-test sanity` would build a virtual environment and fetch
# pip first, so the checker it ships with ansible-core is run directly, with
# Debian's voluptuous, on the module placed in a scratch collection (local.instances).
#
# Every finding fails the check, the licence header's included.
#
#   tests/ansible/validate_modules.sh MODULE.py
set -u
module=${1:?usage: validate_modules.sh MODULE.py}
python=/usr/bin/python3
checker=$("$python" -c 'import ansible_test, os; print(os.path.join(os.path.dirname(ansible_test.__file__),
  "_util", "controller", "sanity", "validate-modules"))') || { echo "ansible-test is not installed" >&2; exit 1; }
"$python" -c 'import voluptuous' 2>/dev/null || { echo "voluptuous is missing: run scripts/setup.sh" >&2; exit 1; }

scratch=$(mktemp -d /tmp/validate-modules.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT
collection=$scratch/ansible_collections/local/instances
mkdir -p "$collection/plugins/modules"
cp "$module" "$collection/plugins/modules/" || exit 1
printf 'namespace: local\nname: instances\nversion: 1.0.0\nreadme: README.md\nauthors: [maintainers]\n' \
  >"$collection/galaxy.yml"

cd "$collection" || exit 1
# --arg (the checker takes unique abbreviations of its options) also runs
# the module far enough to check its declared arguments against DOCUMENTATION.
ANSIBLE_COLLECTIONS_PATH=$scratch PYTHONPATH=$checker ANSIBLE_HOME=$scratch/home \
  "$python" "$checker/validate.py" --format plain --arg --collection ansible_collections/local/instances \
  --collection-version 1.0.0 "plugins/modules/$(basename "$module")" >"$scratch/findings" 2>&1
status=$?
findings=$(cat "$scratch/findings")
if [ -n "$findings" ] || { [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; }; then
  printf '%s\n' "${findings:-validate-modules exited $status}" >&2
  exit 1
fi
echo "validate-modules: no finding"
