# zpm index signature 1
index: index.ldif
sha256: 2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881
size: 314
generated: 2026-12-08T05:00:00Z
valid-until: 2026-12-15T05:00:00Z
signer: /C=DE/O=Zorvek Test/CN=Package Signer
signature: c2lnbmF0dXJl
