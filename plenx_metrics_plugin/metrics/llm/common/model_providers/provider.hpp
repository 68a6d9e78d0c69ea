// provider.hpp: what the files of the provider module share.
//
// Attribute, keyword and global names, the class members, and the client's lazy imports.
#pragma once

#include <plenx_glue/function.hpp>
#include <plenx_glue/klass.hpp>
#include <plenx_glue/module.hpp>
#include <plenx_glue/ops.hpp>

namespace provider {

using glue::Args;
using glue::Name;
using glue::Ref;

namespace names {
// Module globals: imported at load, looked up at each use.
inline Name time{"time"};
inline Name get{"get"};
inline Name ParaphrasingModel{"ParaphrasingModel"};
inline Name PLENXAuvrixAIProvider{"PLENXAuvrixAIProvider"};
inline Name WarningLogger{"_WarningLogger"};
inline Name default_logger{"_default_logger"};
inline Name module_name{"__name__"};

// Instance attributes, in the order the constructor sets them.
inline Name rate_limit{"rate_limit"};
inline Name project_id{"project_id"};
inline Name generate_params{"generate_params"};
inline Name credentials{"credentials"};
inline Name model_name{"model_name"};
inline Name model{"model"};
inline Name paraphrase_model{"paraphrase_model"};
inline Name logger{"logger"};

// Private operations, under the names a class statement gives them.
inline Name validate{"_PLENXAuvrixAIProvider__validate"};
inline Name get_model_object{"_PLENXAuvrixAIProvider__get_model_object"};
inline Name get_paraphrasing_model{"_PLENXAuvrixAIProvider__get_paraphrasing_model"};

// The client and the names read from it.
inline Name ModelInference{"ModelInference"};
inline Name GenTextParamsMetaNames{"GenTextParamsMetaNames"};
inline Name DECODING_METHOD{"DECODING_METHOD"};
inline Name MAX_NEW_TOKENS{"MAX_NEW_TOKENS"};
inline Name MIN_NEW_TOKENS{"MIN_NEW_TOKENS"};
inline Name META_LLAMA_3_3_70B_INSTRUCT{"META_LLAMA_3_3_70B_INSTRUCT"};
inline Name generate_text{"generate_text"};
inline Name model_id{"model_id"};
inline Name params{"params"};
inline Name prompt{"prompt"};

// Credential keys that validation insists on.
inline Name url{"url"};
inline Name apikey{"apikey"};

// Other outside names.
inline Name log_warning{"log_warning"};
inline Name sleep{"sleep"};
inline Name getLogger{"getLogger"};
inline Name warning{"warning"};
}  // namespace names

inline constexpr const char* client_models = "plenx_auvrix_ai.foundation_models";
inline constexpr const char* client_metanames = "plenx_auvrix_ai.metanames";
inline constexpr const char* install_hint = "Please install plenx_auvrix_ai package using pip install";

// ---- class members, defined beside the behaviour they carry ----
extern const glue::FunctionDef provider_init;
extern const glue::FunctionDef get_model_object;
extern const glue::FunctionDef get_paraphrasing_responses;
extern const glue::FunctionDef get_model_responses;
extern const glue::FunctionDef get_judge_model_responses;
extern const glue::FunctionDef get_paraphrasing_model;
extern const glue::FunctionDef validate;

/// The member of the module's fallback logger, used when a provider has none of its own.
extern const glue::FunctionDef log_warning;

// ---- shared helpers ----

/// `from module import name`, run now; a failure of the `Exception` family becomes
/// Exception(install_hint), raised while handling the import error.
Ref import_client_name(const Args& a, const char* module, const Name& name);

/// `model.generate_text(prompt=prompt)`.
Ref generate(PyObject* model, PyObject* prompt);

}  // namespace provider
