// The network guard: what a refused fetch tells Python code.
//
// Which hosts a runner reaches is Deno's decision alone, from the module's
// --allow-net flag (the configuration's domain_allowlist); nothing here
// widens or narrows it. A refusal from Deno names a Deno flag a vesk user
// cannot pass, so the guard, wrapped around the global fetch before any
// installer or user code runs, says instead which host was refused and where
// it is allowed. Any other error passes through unchanged.

const denoFetch = globalThis.fetch;

function hostOf(input: unknown): string {
  try {
    return new URL(input instanceof Request ? input.url : String(input)).host;
  } catch {
    return String(input);
  }
}

export function installFetchGuard(): void {
  globalThis.fetch = async function fetch(input, init) {
    try {
      return await denoFetch(input, init);
    } catch (error) {
      if (error instanceof Deno.errors.NotCapable || error instanceof Deno.errors.PermissionDenied) {
        throw new Deno.errors.NotCapable(
          `network access to '${hostOf(input)}' is not allowed: add the host to domain_allowlist ` +
            "in the vesk configuration",
        );
      }
      throw error;
    }
  };
}
