// Placeholder until the plug-in classes land.
extern "C" __attribute__((visibility("default"))) void* tzGetPlugin() { return nullptr; }
