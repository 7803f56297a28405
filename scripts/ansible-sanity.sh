#!/usr/bin/env bash
# ansible-test sanity for a copy of the collection, offline, with Debian's packages only. ansible-test builds
# each test's Python environment with pip from the internet; here each of those environments is made
# beforehand as an environment of this machine's Python that sees Debian's packages (pylint, pycodestyle,
# yamllint, voluptuous, Jinja2, PyYAML), marked as made, so that ansible-test takes it as it is. The tests
# that need what Debian does not package are left out and named.
#   bash scripts/ansible-sanity.sh COLLECTION_DIR    (a folder .../ansible_collections/NAMESPACE/NAME)
set -euo pipefail
collection=$(cd "$1" && pwd)
python=/usr/bin/python3
# ansible-test keeps its environments under ~/.ansible/test: a home of the test's own.
export HOME=$collection/tests/output/home
mkdir -p "$HOME"

# changelog: antsibull-changelog, which Debian does not package; pslint: PowerShell.
skipped=(changelog pslint)
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
"$python" - "$version" <<'PY'
import json, os, subprocess, sys
from ansible_test._internal.commands.sanity import hash_pip_commands
from ansible_test._internal.host_configs import NativePythonConfig
from ansible_test._internal.python_requirements import collect_requirements

version = sys.argv[1]
python = NativePythonConfig(version=version, path=sys.executable)
# The environments the tests ask for: (name, minimize), as ansible-test's sanity commands name them.
for name, minimize in [('ansible-doc', False), ('validate-modules', False), ('pep8', False), ('pylint', False),
                       ('yamllint', False), ('runtime-metadata', False), ('import', False),
                       ('import.collection', True), ('import.plugin', True)]:
    commands = collect_requirements(python=python, controller=True, virtualenv=False, command=None, ansible=False,
                                    cryptography=False, coverage=False, minimize=minimize, sanity=name)
    label = 'sanity.' + name if commands else 'sanity'
    path = os.path.expanduser(os.path.join('~/.ansible/test/venv', label, version, hash_pip_commands(commands)))
    if os.path.exists(os.path.join(path, 'marker.txt')):
        continue
    subprocess.run([sys.executable, '-m', 'venv', '--system-site-packages', '--without-pip', path], check=True)
    with open(os.path.join(path, 'meta.install.json'), 'w') as f:
        json.dump([], f)
    with open(os.path.join(path, 'meta.yaml.json'), 'w') as f:
        json.dump({'yaml': True, 'cloader': True}, f)
    open(os.path.join(path, 'marker.txt'), 'w').close()
PY

# ansible-test takes the files to test from the git repository around them: a copy outside the repository's
# index (in the build folder) gets a repository of its own with every file of it.
if [ ! -e "$collection/.git" ] && ! git -C "$collection" ls-files --error-unmatch galaxy.yml >/dev/null 2>&1; then
  git -C "$collection" init -q
  git -C "$collection" add -A
fi

skip_args=()
for t in "${skipped[@]}"; do skip_args+=(--skip-test "$t"); done
cd "$collection"
ansible-test sanity --python "$version" --color no "${skip_args[@]}" 2>&1 | tee "$HOME/sanity.txt"
# A run that found no file to test passes without testing anything.
if grep -q "All targets skipped" "$HOME/sanity.txt"; then
  echo "ansible-test sanity: no file was tested" >&2
  exit 1
fi
ran=$(grep -c '^Running sanity test' "$HOME/sanity.txt" || true)
echo "ansible-test sanity: $ran tests ran, all but ${skipped[*]}"
