#!/usr/bin/env python3
"""make_inventory.py ROOT PACKAGES FILES SIZE: installed packages laid out as zpm leaves them
(entry with description, install record and data hash list, file index, the files), and
ROOT/tmp/all.sha1 listing every file for sha1sum -c."""
import hashlib, os, sys

root, npkg, nfiles, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
inv = root + "/var/lib/zpm"
with open(root + "/tmp/all.sha1", "w") as every:
    for p in range(npkg):
        name = "p%04d" % p
        entry = "%s/installed/%s" % (inv, name)
        os.makedirs(entry + "/hash", exist_ok=True)
        with open(entry + "/desc.txt", "w") as f:
            f.write("ezpmVersion: 1.0\nezpkName: %s\nezpkVersion: 1.0\nezpkArchitecture: any\n" % name)
        with open(entry + "/inst.txt", "w") as f:
            f.write("ezpkInstallTime: 86400\nezpkInstallType: X\n")
        data_dir = "/usr/share/%s" % name
        os.makedirs(root + data_dir, exist_ok=True)
        hashes, index = [], []
        for i in range(nfiles):
            path = "%s/f%03d" % (data_dir, i)
            content = os.urandom(size)
            with open(root + path, "wb") as f:
                f.write(content)
            digest = hashlib.sha1(content).hexdigest()
            hashes.append("%s:%s\n" % (digest, path[1:]))
            index.append(path + "\n")
            every.write("%s  %s\n" % (digest, path))
        with open(entry + "/hash/data.txt", "w") as f:
            f.writelines(hashes)
        with open("%s/fileindex/%s" % (inv, name), "w") as f:
            f.writelines(index)
