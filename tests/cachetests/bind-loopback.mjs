// Preloaded into the suite's server (NODE_OPTIONS=--import=THIS): a listen
// given only a port, as the server does, binds 127.0.0.1 instead of every
// interface.
import net from 'net'

const listen = net.Server.prototype.listen
net.Server.prototype.listen = function (...args) {
  const port = args[0]
  const portOnly = typeof port === 'number' ||
    (typeof port === 'string' && /^[0-9]+$/.test(port))
  if (portOnly && (args.length === 1 || typeof args[1] === 'function')) {
    args.splice(1, 0, '127.0.0.1')
  }
  return listen.apply(this, args)
}
