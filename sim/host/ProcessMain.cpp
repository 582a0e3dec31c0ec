// korvlog as a process on the simulated host: the real process entry calls the product's
// entry. The module path comes from $KSIM_MODULE_PATH (see ksim::SetModulePath).
int KorvlogMain(int argc, char* argv[]);

int main(int argc, char* argv[]) { return KorvlogMain(argc, argv); }
