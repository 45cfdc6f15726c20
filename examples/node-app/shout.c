// A native addon as npm packages ship one: a DLL named .node that node.exe
// loads, calling back into node.exe through Node-API.
#define NAPI_VERSION 8
#include <node_api.h>

// shout(text): the text in capitals (ASCII letters only).
static napi_value shout(napi_env env, napi_callback_info info)
{
    size_t argc = 1;
    napi_value argument, result;
    char text[256];
    size_t length = 0;
    if (napi_get_cb_info(env, info, &argc, &argument, NULL, NULL) != napi_ok ||
        napi_get_value_string_utf8(env, argument, text, sizeof text, &length) != napi_ok)
        return NULL;
    for (size_t i = 0; i < length; i++) {
        if (text[i] >= 'a' && text[i] <= 'z')
            text[i] = (char)(text[i] - 'a' + 'A');
    }
    return napi_create_string_utf8(env, text, length, &result) == napi_ok ? result : NULL;
}

NAPI_MODULE_INIT()
{
    napi_value function;
    if (napi_create_function(env, "shout", NAPI_AUTO_LENGTH, shout, NULL, &function) != napi_ok ||
        napi_set_named_property(env, exports, "shout", function) != napi_ok)
        return NULL;
    return exports;
}
