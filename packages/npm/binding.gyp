{
  "targets": [
    {
      "target_name": "tesselguard",
      "sources": ["src/tesselguard_addon.c"],
      "libraries": ["-ldl"]
    }
  ]
}
