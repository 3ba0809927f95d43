/** What a rule does with the calls it judges. */
export type Mode = 'allow' | 'alert' | 'block';

/** A mode per rule; a rule left out keeps its mode (allow at first). */
export interface Policy {
  read_write_tmp?: Mode;
  read_handler?: Mode;
  create_child_process?: Mode;
  outbound_connectivity?: Mode;
}

export interface Options {
  policy?: Policy;
  /** "Node.js" by default in configure(); null leaves it out. */
  runtime?: string | null;
  runtimeVersion?: string;
  /** true switches the usage report off. */
  disableAnalytics?: boolean;
}

/** The code of the Error thrown when the library refuses a configuration. */
export type RefusalCode =
  | 'ERR_TESSELGUARD_NOT_FIRST_PROCESS'
  | 'ERR_TESSELGUARD_WRONG_COOKIE'
  | 'ERR_TESSELGUARD_LOCKED'
  | 'ERR_TESSELGUARD_REFUSED';

export interface RefusalError extends Error {
  code: RefusalCode;
}

/**
 * Loads the bundled library (unless one is in the process already) and sets
 * the policy. Returns the cookie that reconfigure() needs; throws a
 * RefusalError when the library refuses, a TypeError for an unknown rule or
 * mode.
 */
export function configure(options?: Options): number;

/** A later configuration, with the cookie configure() returned. */
export function reconfigure(cookie: number, options?: Options): number;

/** The bundled library, for LD_PRELOAD. */
export const libraryPath: string;
