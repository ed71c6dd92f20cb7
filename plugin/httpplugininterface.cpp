#include "httpplugininterface.h"

HttpPluginInterface::~HttpPluginInterface() = default;
