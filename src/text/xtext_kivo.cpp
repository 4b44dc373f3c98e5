// The message catalogue and the model-name catalogue of the process.
#include "kivo8/xtext_kivo.h"

#include "kivo8/transtext.h"

namespace {
transtext_table *trans_table = nullptr;
transtext_table *modelname_table = nullptr;
}  // namespace

extern "C" KIVO8_API void transtext_readfile(const char *dir) noexcept {
  trans_table = transtext_new_table(dir, TRANS_FILENAME);
  modelname_table = transtext_new_table_nolang(dir, MODELNAMES_FILENAME);
}

extern "C" KIVO8_API void transtext_free_tables(void) noexcept {
  transtext_free(trans_table);
  transtext_free(modelname_table);
  trans_table = nullptr;
  modelname_table = nullptr;
}

extern "C" KIVO8_API const char *transtext_message(const char *key) noexcept {
  return transtext_translate(trans_table, key);
}

extern "C" KIVO8_API const char *transtext_modelname(const char *key) noexcept {
  return transtext_translate(modelname_table, key);
}
