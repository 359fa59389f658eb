// Compiles an electron-builder include script (nsis.include) as
// electron-builder's own NsisTarget does, with its code and templates (npm's
// app-builder-lib): its script header, its defines for the nsis options
// given, and both makensis passes as it runs them (-WX, -INPUTCHARSET UTF8,
// the script on standard input, x86-unicode; first the uninstaller's, with
// BUILD_UNINSTALLER). Debian's makensis stands in for the one it downloads,
// and for the plugins it downloads (UAC, nsProcess, ...), DLLs that only
// export the names its templates call, which is all makensis checks. What
// it builds is never run: the first pass's installer, which would write the
// uninstaller under Wine, is replaced by writing an empty file there.
// The include script is PROJECT/build/installer.nsh, electron-builder's default.
//   node electron_builder_nsis.cjs NODE_MODULES PROJECT OUT_DIR I686_GCC NSIS_OPTIONS_JSON
"use strict";
const fs = require("fs");
const path = require("path");
const { execFileSync } = require("child_process");

const [modules, project, out, gcc, options] = process.argv.slice(2);
require(path.join(modules, "app-builder-lib"));  // first: its modules import each other
const lib = (name) => require(path.join(modules, "app-builder-lib", "out", name));
const { NsisTarget } = lib("targets/nsis/NsisTarget");
const { nsisTemplatesDir } = lib("targets/nsis/nsisUtil");
const { WineVmManager } = lib("vm/WineVm");
const { PlatformPackager } = lib("platformPackager");
const { CancellationToken } = require(path.join(modules, "builder-util-runtime"));

// makensis and the plugin stand-ins where electron-builder looks first.
const plugins = path.join(out, "resources", "plugins", "x86-unicode");
fs.mkdirSync(plugins, { recursive: true });
fs.mkdirSync(path.join(out, "nsis"), { recursive: true });
fs.rmSync(path.join(out, "nsis", "makensis"), { force: true });
fs.symlinkSync("/usr/bin/makensis", path.join(out, "nsis", "makensis"));
process.env.ELECTRON_BUILDER_NSIS_DIR = path.join(out, "nsis");
process.env.ELECTRON_BUILDER_NSIS_RESOURCES_DIR = path.join(out, "resources");
const calls = new Map();
for (const dir of [nsisTemplatesDir, path.join(nsisTemplatesDir, "include")]) {
  for (const file of fs.readdirSync(dir).filter((name) => /\.ns[ih]$/.test(name))) {
    for (const [, plugin, name] of fs.readFileSync(path.join(dir, file), "utf8")
      .matchAll(/^\s*([A-Za-z0-9]+)::(\w+)/gm)) {
      calls.set(plugin, new Set([...(calls.get(plugin) || []), name]));
    }
  }
}
fs.writeFileSync(path.join(out, "stub.c"), "void stub(void) {}\n");
for (const [plugin, names] of calls) {
  if (fs.existsSync(`/usr/share/nsis/Plugins/x86-unicode/${plugin}.dll`)) continue;
  const def = path.join(out, `${plugin}.def`);
  fs.writeFileSync(def, `LIBRARY ${plugin}\nEXPORTS\n${[...names].map((n) => `${n} = stub\n`).join("")}`);
  execFileSync(gcc, ["-shared", "-nostdlib", "-e0", "-o", path.join(plugins, `${plugin}.dll`),
                     path.join(out, "stub.c"), def]);
}

// The vendor's build folder, holding the include script and what it includes.
const resources = path.join(path.resolve(project), "build");
const app = path.join(out, "app-64.7z");
fs.writeFileSync(app, "the application's package");
const appInfo = {
  id: "com.example.vpnclient", name: "example-vpn-client", productName: "Example VPN Client",
  productFilename: "Example VPN Client", sanitizedProductName: "Example VPN Client",
  description: "A VPN client", version: "1.0.0", buildVersion: "1.0.0", shortVersion: null,
  copyright: "Copyright Example Vendor", companyName: "Example Vendor",
  updaterCacheDirName: "example-vpn-client-updater", getVersionInWeirdWindowsForm: () => "1.0.0.0",
};
const packager = {
  appInfo, config: { nsis: JSON.parse(options) }, projectDir: path.resolve(project),
  platformSpecificBuildOptions: {}, fileAssociations: [], debugLogger: { isEnabled: false },
  info: { buildResourcesDir: resources, cancellationToken: new CancellationToken(), metadata: {} },
  resourceList: Promise.resolve(fs.readdirSync(resources)),
  getResource: PlatformPackager.prototype.getResource,
  getTempFile: async (suffix) => path.join(out, `temp-${(packager.temps = (packager.temps || 0) + 1)}-${suffix}`),
  expandMacro: (pattern) => pattern.replace("${productName}", appInfo.productName)
    .replace("${version}", appInfo.version),
  signIf: async () => {},
};
WineVmManager.prototype.exec = async () => fs.writeFileSync(uninstaller, "");
const target = new NsisTarget(packager, out, "nsis", { refCount: 0 });
const installer = path.join(out, "Example VPN Client Setup 1.0.0.exe");
const uninstaller = path.join(out, "Example VPN Client Setup 1.0.0.__uninstaller.exe");

(async () => {
  // The defines and commands of NsisTarget.buildInstaller for one x64 package.
  const oneClick = target.options.oneClick !== false;
  const defines = {
    APP_ID: appInfo.id, APP_GUID: "9b7c4f0e-3c2a-5d1e-9f51-6a0d8e2b7c41",
    UNINSTALL_APP_KEY: "9b7c4f0e-3c2a-5d1e-9f51-6a0d8e2b7c41",
    PRODUCT_NAME: appInfo.productName, PRODUCT_FILENAME: appInfo.productFilename,
    APP_FILENAME: oneClick && !target.options.perMachine ? appInfo.name : appInfo.productFilename,
    APP_DESCRIPTION: appInfo.description, VERSION: appInfo.version, PROJECT_DIR: out,
    BUILD_RESOURCES_DIR: resources, APP_PACKAGE_NAME: appInfo.name, APP_64: app,
    APP_64_NAME: path.basename(app), APP_64_HASH: "00", APP_64_UNPACKED_SIZE: "1",
  };
  target.configureDefinesForAllTypeOfInstaller(defines);
  await target.configureDefines(oneClick, defines);
  defines.COMPRESS = "auto";
  const commands = {
    OutFile: `"${installer}"`, VIProductVersion: "1.0.0.0", VIAddVersionKey: target.computeVersionKey(),
    Unicode: true, SetCompressor: "zlib",
  };
  const header = await target.computeCommonInstallerScriptHeader();
  if (!header.includes(`!include "${path.join(resources, "installer.nsh")}"`)) {
    throw new Error(`the header does not include ${resources}/installer.nsh:\n${header}`);
  }
  const archs = new Map([[1, out]]);
  const uninstallerDefines = { ...defines };
  const { script } = await target.computeScriptAndSignUninstaller(uninstallerDefines, { ...commands },
                                                                   installer, header, archs);
  console.log(`uninstaller pass (BUILD_UNINSTALLER): compiled`);
  defines.UNINSTALLER_OUT_FILE = uninstallerDefines.UNINSTALLER_OUT_FILE;
  await target.executeMakensis(defines, commands,
                               header + (await target.computeFinalScript(script, true, archs)));
  console.log(`installer pass: compiled ${installer}`);
})().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
