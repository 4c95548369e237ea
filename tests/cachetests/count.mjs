// count.mjs SUITEDIR RESULTS.json: one line per test the suite runs
// against a shared cache, "ID KIND OUTCOME GROUP".
//   KIND     required, optimal (optional) or check (informational)
//   OUTCOME  pass; dep (passed, but a test it depends on did not, so the
//            suite's own report does not count it); fail; setup (the
//            test's preconditions did not hold: it says nothing about the
//            cache); untested
//   GROUP    core, or surrogate for the Surrogate-Control tests, which the
//            CLI runs too but the suite's headline counts leave out
import fs from 'fs'
import path from 'path'
import { pathToFileURL } from 'url'

const [dir, resultsFile] = process.argv.slice(2)
const load = async f => (await import(pathToFileURL(path.join(dir, f)))).default
const core = await load('tests/index.mjs')
const surrogate = await load('tests/surrogate-control.mjs')
const results = JSON.parse(fs.readFileSync(resultsFile, 'utf8'))

const passed = id => results[id] === true
function outcome (test) {
  const r = results[test.id]
  if (r === undefined) return 'untested'
  if (Array.isArray(r) && r[0] === 'Setup') return 'setup'
  if (r !== true) return 'fail'
  return (test.depends_on || []).every(passed) ? 'pass' : 'dep'
}

for (const suite of [...core, surrogate]) {
  const group = suite === surrogate ? 'surrogate' : 'core'
  for (const test of suite.tests) {
    if (test.browser_only === true) continue
    const kind = test.kind === undefined ? 'required' : test.kind
    console.log(`${test.id} ${kind} ${outcome(test)} ${group}`)
  }
}
