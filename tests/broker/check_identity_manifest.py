#!/usr/bin/env python3
"""Checks the identity package's manifest against what Windows requires of a
package with an external location and against the program's own manifest,
whose msix element must name the same identity.

Usage: check_identity_manifest.py AppxManifest.xml Vantle.manifest
"""
import re
import sys
import xml.etree.ElementTree as ET

FOUNDATION = "http://schemas.microsoft.com/appx/manifest/foundation/windows10"
NS = {
    "f": FOUNDATION,
    "uap": "http://schemas.microsoft.com/appx/manifest/uap/windows10",
    "uap10": "http://schemas.microsoft.com/appx/manifest/uap/windows10/10",
    "rescap": "http://schemas.microsoft.com/appx/manifest/foundation/windows10/restrictedcapabilities",
    "desktop4": "http://schemas.microsoft.com/appx/manifest/desktop/windows10/4",
    "desktop5": "http://schemas.microsoft.com/appx/manifest/desktop/windows10/5",
    "com": "http://schemas.microsoft.com/appx/manifest/com/windows10",
}
# The Explorer commands' class identifiers: pack and extract.
PACK = "B675C90E-40FA-4BE6-A956-E39750F42101"
EXTRACT = "B675C90E-40FA-4BE6-A956-E39750F42102"

failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)


def attribute(element, namespace, name):
    return element.get("{%s}%s" % (NS[namespace], name))


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def main(package_manifest, program_manifest):
    package = ET.parse(package_manifest).getroot()
    program = ET.parse(program_manifest).getroot()
    msix = program.find("{urn:schemas-microsoft-com:msix.v1}msix")
    expect(msix is not None, "the program's manifest has no msix element")
    if msix is None:
        return

    identity = package.find("f:Identity", NS)
    expect(identity.get("Name") == msix.get("packageName") == "Cindral.Archiver", "package name")
    expect(identity.get("Publisher") == msix.get("publisher") == "CN=Cindral", "publisher")
    expect(identity.get("Version") == "26.4.0.5", "version 26.4.0.5")
    expect(identity.get("ProcessorArchitecture") == "neutral", "neutral architecture")

    properties = package.find("f:Properties", NS)
    expect(properties.findtext("uap10:AllowExternalContent", namespaces=NS) == "true",
           "external content allowed")
    family = package.find("f:Dependencies/f:TargetDeviceFamily", NS)
    expect(family.get("Name") == "Windows.Desktop", "desktop family")
    expect(version_tuple(family.get("MinVersion")) >= (10, 0, 19041, 0), "MinVersion 19041")
    capabilities = {c.get("Name") for c in package.findall("f:Capabilities/rescap:Capability", NS)}
    expect({"runFullTrust", "unvirtualizedResources"} <= capabilities, "capabilities")

    applications = package.findall("f:Applications/f:Application", NS)
    expect(len(applications) == 1, "one application")
    application = applications[0]
    expect(application.get("Id") == msix.get("applicationId") == "Cindral", "application id")
    expect(application.get("Executable") == "Vantle.exe", "executable")
    expect(application.get("EntryPoint") is None, "no entry point")
    expect(attribute(application, "uap10", "TrustLevel") == "mediumIL", "medium integrity")
    expect(attribute(application, "uap10", "RuntimeBehavior") == "win32App", "win32 app")
    visual = application.find("uap:VisualElements", NS)
    expect(visual.get("AppListEntry") == "none", "no app list entry")

    verbs = {}
    for item_type in application.iterfind(".//desktop5:ItemType", NS):
        for verb in item_type.iterfind("desktop5:Verb", NS):
            verb_id, clsid = verb.get("Id"), verb.get("Clsid")
            expect(re.fullmatch(r"[A-Za-z0-9]{3,64}", verb_id or "") is not None, "verb id " + str(verb_id))
            expect(not clsid.startswith("{"), "class id without braces: " + clsid)
            expect(verbs.setdefault(verb_id, clsid) == clsid, "one class per verb: " + verb_id)
    expect(verbs == {"CindralPack": PACK, "CindralExtract": EXTRACT}, "verbs and their classes")
    classes = {c.get("Id"): c for c in application.iterfind(".//com:SurrogateServer/com:Class", NS)}
    expect(set(classes) == {PACK, EXTRACT}, "the two COM classes")
    for clsid, com_class in classes.items():
        expect(com_class.get("Path") == "Cindral.Shell.dll", "class module " + clsid)
        expect(com_class.get("ThreadingModel") == "STA", "class threading " + clsid)

    file_types = []
    for association in application.iterfind(".//uap:FileTypeAssociation", NS):
        name = association.get("Name")
        expect(name == name.lower() and " " not in name, "association name " + name)
        file_types += [t.text for t in association.iterfind("uap:SupportedFileTypes/uap:FileType", NS)]
    expect(sorted(file_types) == [".7z", ".zip"], "file types .zip and .7z")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
    for failure in failures:
        print("FAILED:", failure)
    sys.exit(1 if failures else 0)
