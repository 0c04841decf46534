// The engine stand-in's own module (its DLL), for registering its window classes.
#ifndef QUILLON_ENGINE_MODULE_WIN_H_
#define QUILLON_ENGINE_MODULE_WIN_H_

#include <windows.h>

namespace standin {

inline HINSTANCE thisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&thisModule), &module);
  return module;
}

}  // namespace standin

#endif  // QUILLON_ENGINE_MODULE_WIN_H_
