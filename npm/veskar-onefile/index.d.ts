// Types of veskar-onefile's API; docs/packing.md of the project describes
// each option and each key of the reports.

export interface PackOptions {
  /** The application folder; every regular file below it is packed. */
  dir: string;
  /** The application library (exports run_code), relative to dir. */
  appLibrary?: string;
  /** The application program, relative to dir; give this or appLibrary. */
  appExe?: string;
  /** Fixed arguments of appExe, before the user's; {APP_DIR} is the unpacked folder. */
  appArgs?: string[];
  /** The launcher to write. */
  output: string;
  level?: number;
  threads?: number;
  reuse?: boolean;
  reuseProcess?: 'self' | 'child';
  appId?: string;
  unpackDir?: string;
  unpackThreads?: number;
  splash?: string;
  icon?: string;
  console?: boolean;
  gui?: boolean;
  /** Version information, such as { ProductName: 'App', FileVersion: '1.2.0' }. */
  versionInfo?: Record<string, string>;
  executionLevel?: 'asInvoker' | 'highestAvailable' | 'requireAdministrator';
  depfile?: string;
  /** The launcher kit folder (default: the platform package's own). */
  kit?: string;
}

/** Rejections carry code 'VESKAR_PACK_FAILED' and the packer's one line as message. */
export interface PackError extends Error {
  code: string;
  exitCode?: number | null;
}

export interface LauncherListing {
  launcher: string;
  files: { name: string; size: number }[];
  entry: { kind: 'library' | 'program'; name: string; arguments: string[] };
  fileBytes: number;
  streamBytes: number;
  frameBytes: number;
  attachedBytes: number;
  zstdWindow: number;
  zstdLevel: number | null;
  unpackDir: string | null;
  reuse: null | {
    archiveIdentity: string;
    applicationId: string | null;
    applicationIdFrom: 'app-id' | 'version-info' | 'name' | null;
    process: 'self' | 'child';
  };
  splashBytes: number | null;
  icon: 'none' | 'default' | 'custom' | 'present' | 'damaged';
  subsystem: 'console' | 'gui' | 'unknown';
  executionLevel: string;
  versionInfo: Record<string, string> | null;
}

export type Verdict =
  | { launcher: string; intact: true; records: number; fileBytes: number; signed: boolean }
  | { launcher: string; intact: false; problem: string };

export function pack(options: PackOptions): Promise<{ output: string }>;
export function list(exe: string): Promise<LauncherListing>;
export function verify(exe: string): Promise<Verdict>;
/** The packer binary this package runs. */
export function packerPath(): string;
