#!/usr/bin/env python3
"""Checks the built hosts_entry_tool.exe as Windows will load it: a console
program that imports only DLLs every Windows has, whose only resource is an
application manifest asking to run as the invoker without UI access."""

import sys
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

EXE = None
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "ucrtbase.dll"}
RT_MANIFEST = 24
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


class PeImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)

    def test_console_subsystem(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])

    def test_imports_only_system_dlls(self):
        dlls = {entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        extra = {d for d in dlls if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-crt-")}
        self.assertEqual(extra, set(), f"imports {sorted(dlls)}")
        self.assertIn("kernel32.dll", dlls)

    def manifests(self):
        found = []
        for kind in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for name in kind.directory.entries:
                for language in name.directory.entries:
                    data = language.data.struct
                    found.append((kind.id, name.id,
                                  self.pe.get_data(data.OffsetToData, data.Size)))
        return found

    def test_manifest_is_the_only_resource(self):
        resources = self.manifests()
        self.assertEqual([(kind, name) for kind, name, _ in resources], [(RT_MANIFEST, 1)])

    def test_manifest_runs_as_invoker_without_ui_access(self):
        (_, _, data), = self.manifests()
        root = ElementTree.fromstring(data)
        levels = root.findall(f"./{ASM_V3}trustInfo/{ASM_V3}security/"
                              f"{ASM_V3}requestedPrivileges/{ASM_V3}requestedExecutionLevel")
        self.assertEqual(len(levels), 1, data)
        self.assertEqual(levels[0].get("level"), "asInvoker")
        self.assertEqual(levels[0].get("uiAccess"), "false")


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    unittest.main(verbosity=2)
