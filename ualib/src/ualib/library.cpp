// libualib.so is the adapter's static core linked whole; its exported surface is
// velk::quarlink::Client and OpcuaConnectionRegistry::Instance(), everything else
// is built with hidden visibility.
