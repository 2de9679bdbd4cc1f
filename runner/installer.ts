// The package installer: micropip, or the runner's own stand-in for it.
//
// Every runner loads micropip itself at start (packages are files, and files
// are not part of a start snapshot). Under Deno, Pyodide looks for micropip's
// wheel in this runner's own directory, then fetches it from Pyodide's CDN;
// with no route to either it only logs its failure, and then the stand-in in
// micropip_standin.py, with micropip's interface, takes its place: it
// installs pure-Python wheels from a URL, from an emfs: path, or by name from
// a JSON package index. The stand-in is written into site-packages as
// micropip.py and imported by the first install that needs it.
//
// Errors: a failure to load micropip is reported on standard error, never
// thrown; the stand-in's installation throws only what the file system does.
import { toStderr } from "./diagnostics.ts";
import { internalsOf, type PyodideAPI } from "./pyodide.ts";
import MICROPIP_SOURCE from "./micropip_standin.py" with { type: "text" };

// Whether loadPackage("micropip") can succeed: with neither the wheel in this
// runner's own directory nor permission to reach the CDN's host it only
// fails, and finding that out costs a fifth of a start from a snapshot. When
// in doubt, it is tried.
function micropipLoadable(pyodide: PyodideAPI): boolean {
  try {
    const api = internalsOf(pyodide)._api!;
    const local = (api.config.packageCacheDir ?? api.config.packageBaseUrl) +
      api.lockfile_packages.micropip.file_name;
    if (!/^[a-z][a-z0-9+.-]*:/i.test(local)) {
      try {
        Deno.statSync(local);
        return true;
      } catch {
        // not there
      }
    }
    const host = new URL(api.config.cdnUrl).hostname;
    return Deno.permissions.querySync({ name: "net", host }).state === "granted";
  } catch {
    return true;
  }
}

// Puts the stand-in in place when micropip cannot be imported.
function installMicropipStandIn(pyodide: PyodideAPI): void {
  const scope = pyodide.toPy({});
  try {
    // Asked of the path, not of sys.modules: an interpreter resumed from a
    // park image may have micropip imported while its file is gone.
    pyodide.runPython("import importlib.machinery, sys", { globals: scope });
    if (pyodide.runPython("importlib.machinery.PathFinder.find_spec('micropip') is not None", { globals: scope })) {
      return;
    }
    const site = pyodide.runPython(
      "next(p for p in sys.path if p.endswith('site-packages'))",
      { globals: scope },
    );
    pyodide.FS.mkdirTree(site);
    pyodide.FS.writeFile(site + "/micropip.py", MICROPIP_SOURCE);
    // Imported by the first install that needs it, not here: the runner's
    // start stays as quick as Pyodide's own. Only the finder of that one
    // directory is told of the new file: importlib.invalidate_caches() would
    // import importlib.metadata, which costs more than the rest of a start
    // from a snapshot.
    scope.set("site", site);
    pyodide.runPython(
      "finder = sys.path_importer_cache.get(site)\nif finder is not None:\n    finder.invalidate_caches()",
      { globals: scope },
    );
    toStderr("vesk runner: micropip could not be loaded; using the built-in pure-Python installer");
  } finally {
    scope.destroy();
  }
}

// Loads micropip, or puts the stand-in in its place.
export async function prepareInstaller(pyodide: PyodideAPI): Promise<void> {
  if (micropipLoadable(pyodide)) {
    await pyodide.loadPackage("micropip", { messageCallback: toStderr, errorCallback: toStderr });
  }
  installMicropipStandIn(pyodide);
}
