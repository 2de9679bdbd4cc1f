"""Installs pure-Python wheels with micropip's interface.

    await micropip.install("name>=1.0", verbose=True)
    await micropip.install("https://host/pkg-1.0-py3-none-any.whl")
    await micropip.install("emfs:/tmp/pkg-1.0-py3-none-any.whl")
    micropip.set_index_urls(["http://host/pypi/{package_name}/json"])
    micropip.list()

Requirements are resolved through package indexes that speak the JSON API
({index}/{name}/json with "releases" and "urls"). Wheels are fetched through
pyodide.http.pyfetch, so the runtime's network permissions apply, and are
unpacked into site-packages together with the dependencies their metadata
declares.
"""

import importlib
import os
import re
import sys

__version__ = "0.1.0"
__all__ = ["install", "list", "set_index_urls"]

_DEFAULT_INDEX_URLS = ("https://pypi.org/pypi/{package_name}/json",)
_index_urls = [*_DEFAULT_INDEX_URLS]

# The addresses of the wheels the last install() put in place, dependencies
# first: what installing them again in order reproduces exactly, whatever
# index settings led to them.
installed = []


def set_index_urls(urls):
    """Sets the package indexes to look names up in, in order.

    A URL containing "{package_name}" is formatted with the name; any other
    URL gets "/{name}/json" appended.
    """
    if isinstance(urls, str):
        urls = [urls]
    _index_urls[:] = [*urls]


def _canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


# --- versions (PEP 440) -----------------------------------------------------

_VERSION_RE = re.compile(
    r"""
    v?
    (?:(?P<epoch>[0-9]+)!)?
    (?P<release>[0-9]+(?:\.[0-9]+)*)
    (?P<pre>[-_.]?(?P<pre_l>alpha|a|beta|b|preview|pre|c|rc)[-_.]?(?P<pre_n>[0-9]+)?)?
    (?P<post>-(?P<post_n1>[0-9]+)|[-_.]?(?P<post_l>post|rev|r)[-_.]?(?P<post_n2>[0-9]+)?)?
    (?P<dev>[-_.]?dev[-_.]?(?P<dev_n>[0-9]+)?)?
    (?:\+(?P<local>[a-z0-9]+(?:[-_.][a-z0-9]+)*))?
    """,
    re.VERBOSE | re.IGNORECASE,
)
_PRE_RANK = {"a": 0, "alpha": 0, "b": 1, "beta": 1, "c": 2, "rc": 2, "pre": 2, "preview": 2}


class Version:
    """A parsed version; compares by PEP 440 order."""

    def __init__(self, text):
        m = _VERSION_RE.fullmatch(text.strip())
        if m is None:
            raise ValueError(f"Invalid version: '{text}'")
        self.text = text
        self.epoch = int(m["epoch"] or 0)
        self.release = tuple(int(x) for x in m["release"].split("."))
        self.pre = (_PRE_RANK[m["pre_l"].lower()], int(m["pre_n"] or 0)) if m["pre"] else None
        self.post = int(m["post_n1"] or m["post_n2"] or 0) if m["post"] else None
        self.dev = int(m["dev_n"] or 0) if m["dev"] else None
        self.local = (
            tuple((1, int(p), "") if p.isdigit() else (0, 0, p.lower()) for p in re.split(r"[-_.]", m["local"]))
            if m["local"]
            else None
        )
        release = [*self.release]
        while len(release) > 1 and release[-1] == 0:
            release.pop()
        self.base = (self.epoch, tuple(release))
        if self.pre is None and self.post is None and self.dev is not None:
            pre = (-1, 0)  # 1.0.dev1 sorts before 1.0a1
        else:
            pre = self.pre if self.pre is not None else (3, 0)
        post = -1 if self.post is None else self.post
        dev = (1, 0) if self.dev is None else (0, self.dev)
        self.public = (self.epoch, self.base[1], pre, post, dev)
        self.key = self.public + ((() if self.local is None else self.local),)

    @property
    def is_prerelease(self):
        return self.pre is not None or self.dev is not None

    def __str__(self):
        return self.text

    def __repr__(self):
        return f"Version('{self.text}')"


def _parse_version(text):
    try:
        return Version(text)
    except ValueError:
        return None


def _release_prefix_matches(candidate, prefix):
    """Whether the release of candidate starts with prefix (a release tuple)."""
    release = candidate.release + (0,) * max(0, len(prefix) - len(candidate.release))
    return release[: len(prefix)] == prefix


def _spec_matches(op, target, version):
    """Whether version satisfies the clause op target (e.g. ">=", "1.0")."""
    if op == "===":
        return version.text.strip().lower() == target.strip().lower()
    if op in ("==", "!=") and target.endswith(".*"):
        prefix = Version(target[:-2])
        matched = version.epoch == prefix.epoch and _release_prefix_matches(version, prefix.release)
        return matched if op == "==" else not matched
    spec = Version(target)
    if op in ("==", "!="):
        matched = version.key == spec.key if spec.local is not None else version.public == spec.public
        return matched if op == "==" else not matched
    if op == "~=":
        if len(spec.release) < 2:
            raise ValueError(f"Invalid specifier: '~={target}'")
        return version.public >= spec.public and version.epoch == spec.epoch and _release_prefix_matches(
            version, spec.release[:-1]
        )
    if op == "<=":
        return version.public <= spec.public
    if op == ">=":
        return version.public >= spec.public
    if op == "<":
        if version.public >= spec.public:
            return False
        # <1.0 excludes 1.0's own pre-releases unless it names one itself.
        return spec.is_prerelease or not version.is_prerelease or version.base != spec.base
    if op == ">":
        if version.public <= spec.public:
            return False
        # >1.0 excludes 1.0's post-releases and local versions.
        if version.base == spec.base and (
            (spec.post is None and version.post is not None) or version.local is not None
        ):
            return False
        return True
    raise ValueError(f"Invalid specifier operator: '{op}'")


_CLAUSE_RE = re.compile(r"\s*(~=|===|==|!=|<=|>=|<|>)\s*([^\s,;()]+)\s*")


def _parse_specifier(text):
    """'>=1.0, <2' -> [(">=", "1.0"), ("<", "2")]; checks each version."""
    text = text.strip()
    if text.startswith("(") and text.endswith(")"):
        text = text[1:-1]
    clauses = []
    if not text.strip():
        return clauses
    for part in text.split(","):
        m = _CLAUSE_RE.fullmatch(part)
        if m is None:
            raise ValueError(f"Invalid specifier: '{part.strip()}'")
        op, target = m.groups()
        if op != "===":
            Version(target[:-2] if target.endswith(".*") and op in ("==", "!=") else target)
        clauses.append((op, target))
    return clauses


def _satisfies(clauses, version):
    return all(_spec_matches(op, target, version) for op, target in clauses)


# --- requirements and markers (PEP 508) ----------------------------------------

_REQ_RE = re.compile(
    r"""
    \s*(?P<name>[A-Za-z0-9](?:[A-Za-z0-9._-]*[A-Za-z0-9])?)\s*
    (?:\[(?P<extras>[^\]]*)\])?\s*
    (?:@\s*(?P<url>[^\s;]+)\s*|(?P<spec>[^;@]*))
    (?:;(?P<marker>.*))?
    """,
    re.VERBOSE | re.DOTALL,
)


class Requirement:
    def __init__(self, text):
        m = _REQ_RE.fullmatch(text)
        if m is None:
            raise ValueError(f"Invalid requirement: '{text}'")
        self.text = text.strip()
        self.name = m["name"]
        self.key = _canonical(self.name)
        self.extras = {_canonical(e) for e in (m["extras"] or "").split(",") if e.strip()}
        self.url = m["url"]
        self.specifier = _parse_specifier(m["spec"] or "")
        self.marker = m["marker"].strip() if m["marker"] is not None else None
        self.without_marker = text.split(";", 1)[0].strip()
        if self.marker is not None:
            _Marker(self.marker)  # reject a malformed marker up front

    def applies(self, extras=()):
        if self.marker is None:
            return True
        marker = _Marker(self.marker)
        return any(marker.evaluate(extra) for extra in ("", *extras))


_MARKER_TOKEN_RE = re.compile(
    r"""\s*(?:
      (?P<str>'[^']*'|"[^"]*")
    | (?P<op>===|==|!=|<=|>=|~=|<|>|not\s+in\b|in\b)
    | (?P<paren>[()])
    | (?P<word>and\b|or\b)
    | (?P<var>[A-Za-z_][A-Za-z0-9_.]*)
    )""",
    re.VERBOSE,
)
_MARKER_VARS = {
    "implementation_name", "implementation_version", "os_name", "platform_machine",
    "platform_release", "platform_system", "platform_version", "python_full_version",
    "platform_python_implementation", "python_version", "sys_platform", "extra",
}
_LEGACY_VARS = {
    "os.name": "os_name", "sys.platform": "sys_platform", "platform.version": "platform_version",
    "platform.machine": "platform_machine", "platform.python_implementation": "platform_python_implementation",
    "python_implementation": "platform_python_implementation",
}


def _marker_environment():
    import platform

    info = sys.implementation.version
    implementation_version = f"{info.major}.{info.minor}.{info.micro}"
    if info.releaselevel != "final":
        implementation_version += info.releaselevel[0] + str(info.serial)
    return {
        "implementation_name": sys.implementation.name,
        "implementation_version": implementation_version,
        "os_name": os.name,
        "platform_machine": platform.machine(),
        "platform_release": platform.release(),
        "platform_system": platform.system(),
        "platform_version": platform.version(),
        "python_full_version": platform.python_version(),
        "platform_python_implementation": platform.python_implementation(),
        "python_version": ".".join(platform.python_version_tuple()[:2]),
        "sys_platform": sys.platform,
    }


class _Marker:
    """An environment marker: parsed into nested tuples, evaluated per extra."""

    def __init__(self, text):
        self.text = text
        self.tokens = []
        pos = 0
        while pos < len(text):
            if not text[pos:].strip():
                break
            m = _MARKER_TOKEN_RE.match(text, pos)
            if m is None:
                raise ValueError(f"Invalid marker: '{text}'")
            kind = m.lastgroup
            value = m[kind]
            if kind == "op":
                value = " ".join(value.split())
            if kind == "var":
                value = _LEGACY_VARS.get(value, value)
                if value not in _MARKER_VARS:
                    raise ValueError(f"Invalid marker: '{text}' (unknown variable '{value}')")
            self.tokens.append((kind, value))
            pos = m.end()
        self.pos = 0
        self.tree = self._or()
        if self.pos != len(self.tokens):
            raise ValueError(f"Invalid marker: '{text}'")

    def _peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else (None, None)

    def _take(self, kind):
        token = self._peek()
        if token[0] != kind:
            raise ValueError(f"Invalid marker: '{self.text}'")
        self.pos += 1
        return token[1]

    def _or(self):
        node = self._and()
        while self._peek() == ("word", "or"):
            self.pos += 1
            node = ("or", node, self._and())
        return node

    def _and(self):
        node = self._atom()
        while self._peek() == ("word", "and"):
            self.pos += 1
            node = ("and", node, self._atom())
        return node

    def _atom(self):
        if self._peek() == ("paren", "("):
            self.pos += 1
            node = self._or()
            if self._take("paren") != ")":
                raise ValueError(f"Invalid marker: '{self.text}'")
            return node
        left = self._value()
        op = self._take("op")
        return ("cmp", left, op, self._value())

    def _value(self):
        kind, value = self._peek()
        if kind == "str":
            self.pos += 1
            return ("str", value[1:-1])
        if kind == "var":
            self.pos += 1
            return ("var", value)
        raise ValueError(f"Invalid marker: '{self.text}'")

    def evaluate(self, extra=""):
        env = _marker_environment()
        env["extra"] = extra
        return self._eval(self.tree, env)

    def _eval(self, node, env):
        if node[0] == "or":
            return self._eval(node[1], env) or self._eval(node[2], env)
        if node[0] == "and":
            return self._eval(node[1], env) and self._eval(node[2], env)
        _, left, op, right = node
        is_extra = "extra" in (left[1] if left[0] == "var" else None, right[1] if right[0] == "var" else None)
        lhs = env[left[1]] if left[0] == "var" else left[1]
        rhs = env[right[1]] if right[0] == "var" else right[1]
        if is_extra:
            lhs, rhs = _canonical(lhs), _canonical(rhs)
        if op == "in":
            return lhs in rhs
        if op == "not in":
            return lhs not in rhs
        try:
            _parse_specifier(op + rhs)
        except ValueError:
            pass
        else:
            version = _parse_version(lhs)
            return version is not None and _spec_matches(op, rhs, version)
        compare = {
            "==": lambda a, b: a == b, "!=": lambda a, b: a != b, "<": lambda a, b: a < b,
            "<=": lambda a, b: a <= b, ">": lambda a, b: a > b, ">=": lambda a, b: a >= b,
            "===": lambda a, b: a == b,
        }.get(op)
        if compare is None:
            raise ValueError(f"Invalid marker: '{self.text}' ('{op}' needs versions)")
        return compare(lhs, rhs)


# --- wheels --------------------------------------------------------------------


def _wheel_tags(filename):
    """(name, version, python tags, abi tag, platform tag) of a wheel file name."""
    if not filename.endswith(".whl"):
        raise ValueError(f"'{filename}' is not a wheel file name")
    parts = filename[:-4].split("-")
    if len(parts) not in (5, 6):
        raise ValueError(f"Invalid wheel file name: '{filename}'")
    return parts[0], parts[1], parts[-3].split("."), parts[-2].split("."), parts[-1].split(".")


def _is_pure_python3(filename):
    try:
        _, _, pythons, abis, platforms = _wheel_tags(filename)
    except ValueError:
        return False
    if "none" not in abis or "any" not in platforms:
        return False
    for tag in pythons:
        m = re.fullmatch(r"py3(\d*)", tag)
        if m and (not m[1] or int(m[1]) <= sys.version_info.minor):
            return True
    return False


class _Wheel:
    def __init__(self, filename, url, sha256=None):
        self.filename = filename
        self.url = url
        self.sha256 = sha256
        name, version, *_ = _wheel_tags(filename)
        self.name = name
        self.version = version
        self.key = _canonical(name)
        self.zip = None
        self.dist_info = None
        self.requires = []

    def load(self, data):
        """Checks the downloaded bytes and reads the wheel's metadata."""
        import email.parser
        import hashlib
        import io
        import zipfile

        if self.sha256 is not None and hashlib.sha256(data).hexdigest() != self.sha256.lower():
            raise ValueError(f"'{self.filename}' does not match the sha256 digest given by the index")
        try:
            archive = zipfile.ZipFile(io.BytesIO(data))
            corrupt = archive.testzip()
        except (zipfile.BadZipFile, EOFError, OSError) as error:
            raise ValueError(f"'{self.filename}' is not a valid wheel: {error}") from None
        if corrupt is not None:
            raise ValueError(f"'{self.filename}' is not a valid wheel: '{corrupt}' is corrupt")
        infos = [
            n[: -len("/METADATA")]
            for n in archive.namelist()
            if n.count("/") == 1 and n.endswith(".dist-info/METADATA")
        ]
        if len(infos) != 1:
            raise ValueError(f"'{self.filename}' is not a valid wheel: it has no single .dist-info/METADATA")
        self.dist_info = infos[0]
        if _canonical(self.dist_info[: -len(".dist-info")].rsplit("-", 1)[0]) != self.key:
            raise ValueError(f"'{self.filename}' is not a valid wheel: it holds '{self.dist_info}'")
        metadata = email.parser.BytesHeaderParser().parsebytes(archive.read(self.dist_info + "/METADATA"))
        self.name = metadata["Name"] or self.name
        self.requires = [Requirement(text) for text in metadata.get_all("Requires-Dist") or ()]
        self.zip = archive

    def install(self, target):
        """Unpacks the wheel into target; .data/purelib and platlib go there too."""
        data_dir = self.dist_info[: -len(".dist-info")] + ".data"
        root = os.path.realpath(target)
        for info in self.zip.infolist():
            if info.is_dir():
                continue
            parts = info.filename.split("/")
            if parts[0] == data_dir:
                if len(parts) < 3 or parts[1] not in ("purelib", "platlib"):
                    continue  # scripts, headers and data have no place here
                parts = parts[2:]
            dest = os.path.normpath(os.path.join(root, *parts))
            if not dest.startswith(root + os.sep):
                raise ValueError(f"'{self.filename}' is not a valid wheel: unsafe path '{info.filename}'")
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            with open(dest, "wb") as f:
                f.write(self.zip.read(info))
        with open(os.path.join(root, self.dist_info, "INSTALLER"), "w") as f:
            f.write("micropip\n")


# --- fetching ------------------------------------------------------------------


async def _fetch(url):
    """Returns (status, bytes) for an http(s) URL, or the bytes of an emfs: path."""
    if url.startswith("emfs:"):
        with open(url[len("emfs:"):], "rb") as f:
            return 200, f.read()
    from pyodide.http import pyfetch

    try:
        response = await pyfetch(url)
        return response.status, (await response.bytes()) if response.ok else b""
    except Exception as error:
        raise ValueError(f"Can't fetch '{url}': {error}") from None


def _is_url(text):
    return text.startswith("emfs:") or re.match(r"[A-Za-z][A-Za-z0-9+.-]*://", text) is not None


def _url_filename(url):
    from urllib.parse import unquote, urlparse

    path = url[len("emfs:"):] if url.startswith("emfs:") else urlparse(url).path
    return unquote(path.rsplit("/", 1)[-1])


async def _find_wheel(req, index_urls, pre):
    import json
    from urllib.parse import urljoin

    project = None
    for index in index_urls:
        url = index.format(package_name=req.key) if "{package_name}" in index else index.rstrip("/") + f"/{req.key}/json"
        status, body = await _fetch(url)
        if status == 404:
            continue
        if not 200 <= status < 300:
            raise ValueError(f"Can't fetch metadata for '{req.name}' from {url}: HTTP status {status}")
        try:
            project, project_url = json.loads(body), url
        except ValueError as error:
            raise ValueError(f"Can't read the package index's answer for '{req.name}' from {url}: {error}") from None
        break
    if project is None:
        raise ValueError(
            f"Can't find a pure Python 3 wheel for '{req.text}': no package named '{req.name}' "
            f"in the package index ({', '.join(index_urls)})"
        )
    releases = project.get("releases") or {}
    if not releases and project.get("urls"):
        releases = {project["info"]["version"]: project["urls"]}
    pinned = any(op in ("==", "===") for op, _ in req.specifier)
    allow_pre = pre or any(
        op != "===" and Version(t[:-2] if t.endswith(".*") else t).is_prerelease for op, t in req.specifier
    )
    matching = []
    for text, files in releases.items():
        version = _parse_version(text)
        if version is not None and _satisfies(req.specifier, version):
            wheels = [f for f in files or () if _is_pure_python3(f.get("filename", ""))]
            if not pinned:
                wheels = [f for f in wheels if not f.get("yanked")]
            matching.append((version, wheels))
    matching.sort(key=lambda item: item[0].key, reverse=True)
    with_wheels = [item for item in matching if item[1]]
    finals = [item for item in with_wheels if allow_pre or not item[0].is_prerelease]
    chosen = (finals or with_wheels or [None])[0]
    if chosen is None:
        if matching:
            versions = ", ".join(item[0].text for item in matching)
            reason = f"none of the matching releases of '{req.name}' ({versions}) has one"
        else:
            available = ", ".join(sorted(releases, key=lambda t: (_parse_version(t) or Version("0")).key))
            reason = f"no release of '{req.name}' matches (available: {available or 'none'})"
        raise ValueError(f"Can't find a pure Python 3 wheel for '{req.text}': {reason}")
    best = chosen[1][0]
    digest = (best.get("digests") or {}).get("sha256")
    return _Wheel(best["filename"], urljoin(project_url, best["url"]), digest)


def _installed_version(name):
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


# --- install -------------------------------------------------------------------


async def install(requirements, keep_going=False, deps=True, credentials=None, pre=False, index_urls=None, *, verbose=False):
    """Installs one requirement or a list of them, with their dependencies.

    A requirement is a wheel URL (http, https or emfs:) or a name with an
    optional version specifier, looked up in the package indexes. Raises
    ValueError when a package cannot be found or installed; nothing is
    installed then.
    """
    if isinstance(requirements, str):
        requirements = [requirements]
    if index_urls is None:
        index_urls = [*_index_urls]
    elif isinstance(index_urls, str):
        index_urls = [index_urls]
    say = print if verbose else (lambda *args: None)
    planned = {}
    order = []

    async def add(text, parent=None):
        text = text.strip()
        say(f"Collecting {text}" + (f" (from {parent})" if parent else ""))
        req = None if _is_url(text) else Requirement(text)
        url = text if req is None else req.url
        if url is not None:
            filename = _url_filename(url)
            if not _is_pure_python3(filename):
                raise ValueError(f"Can't install '{text}': '{filename}' is not a pure Python 3 wheel")
            wheel = _Wheel(filename, url)
            if req is not None and wheel.key != req.key:
                raise ValueError(f"Can't install '{text}': the wheel is for '{wheel.name}'")
            key, clauses = wheel.key, [("==", wheel.version)]
        else:
            key, clauses = req.key, req.specifier
        if key in planned:
            chosen = planned[key]
            if not _satisfies(clauses, Version(chosen.version)):
                raise ValueError(f"Can't install '{text}': {chosen.name} {chosen.version} is wanted as well")
            return
        installed = _installed_version(key)
        if installed is not None:
            version = _parse_version(installed)
            if not clauses or (version is not None and _satisfies(clauses, version)):
                say(f"Requirement already satisfied: {key} ({installed})")
                return
            raise ValueError(f"Requested '{text}', but {key}=={installed} is already installed")
        if url is None:
            wheel = await _find_wheel(req, index_urls, pre)
        say(f"  Downloading {wheel.filename}")
        status, data = await _fetch(wheel.url)
        if not 200 <= status < 300:
            raise ValueError(f"Can't download '{wheel.url}': HTTP status {status}")
        wheel.load(data)
        planned[key] = wheel
        if deps:
            extras = req.extras if req is not None else set()
            for dep in wheel.requires:
                if dep.applies(extras):
                    await add(dep.without_marker, parent=text)
        order.append(wheel)

    installed.clear()
    for requirement in requirements:
        await add(requirement)
    if not order:
        return
    import sysconfig

    say("Installing collected packages: " + ", ".join(w.name for w in order))
    target = sysconfig.get_paths()["purelib"]
    for wheel in order:
        wheel.install(target)
    importlib.invalidate_caches()
    installed.extend(w.url for w in order)
    say("Successfully installed " + " ".join(f"{w.name}-{w.version}" for w in order))


def list():
    """Installed distributions: canonical name -> version."""
    from importlib import metadata

    found = {}
    for dist in metadata.distributions():
        name = dist.metadata["Name"]
        if name:
            found.setdefault(_canonical(name), dist.version)
    return found
